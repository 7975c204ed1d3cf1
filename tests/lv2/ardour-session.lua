-- Fluxet in Ardour without a window, run by lv2-tools.sh through ardour7-lua.
-- usage: ardour7-lua ardour-session.lua create|reload FOLDER "TRACK CHANNELS URI PRESET SYMBOL VALUE"...
-- create: a session in FOLDER with one track per plug-in, the plug-in added from the factory
--         preset and its parameter SYMBOL moved to VALUE; saved after running a while.
-- reload: the saved session loaded, checked and run a while again.
-- Either runs the engine on Ardour's dummy backend with a sine on every input, monitored
-- through the plug-ins. Any failure raises an error, which makes ardour7-lua exit 1.
local phase, folder = arg[1], arg[2]
local name = "fluxet"
local seconds = 3 -- of audio per step

local plugins = {}
for i = 3, #arg do
    local track, channels, uri, preset, symbol, value =
        arg[i]:match("^(%S+) (%d) (%S+) (.+) (%S+) (%S+)$")
    assert(track, "bad plug-in argument: " .. arg[i])
    plugins[#plugins + 1] = {track = track, channels = tonumber(channels), uri = uri,
                             preset = preset, symbol = symbol, value = tonumber(value)}
end

local function property(processor, symbol)
    local automatable = processor:to_automatable()
    local wanted = "property-http://morvane.com/plugins/fluxet#" .. symbol
    for parameter in automatable:all_automatable_params():iter() do
        local control = automatable:automation_control(parameter, false)
        if not control:isnil() and control:name() == wanted then
            return control
        end
    end
    error("Ardour shows no parameter " .. symbol)
end

-- Runs the engine with every track listening to its inputs; the plug-ins' output must reach
-- each track's meter.
local function run(session)
    for _, plugin in ipairs(plugins) do
        local route = session:route_by_name(plugin.track)
        for c = 0, plugin.channels - 1 do
            route:input():audio(c):connect("system:capture_" .. (c + 1))
        end
        route:to_track():monitoring_control():set_value(ARDOUR.MonitorChoice.MonitorInput,
                                                        PBD.GroupControlDisposition.NoGroup)
    end
    -- Audio time, not wall time: a busy machine may run the dummy engine slower.
    local start = AudioEngine:processed_samples()
    for _ = 1, 300 do
        if AudioEngine:processed_samples() - start >= seconds * 48000 then
            break
        end
        ARDOUR.LuaAPI.usleep(100000)
    end
    local processed = AudioEngine:processed_samples() - start
    assert(processed >= seconds * 48000, "the engine processed " .. processed .. " frames in 30 s")
    for _, plugin in ipairs(plugins) do
        local level = session:route_by_name(plugin.track):peak_meter():meter_level(0,
            ARDOUR.MeterType.MeterPeak)
        assert(level > -60 and level < 20, plugin.track .. " track peaks at " .. level .. " dBFS")
    end
end

ARDOUR.config():set_hide_dummy_backend(false)
local backend = AudioEngine:set_backend("None (Dummy)", "", "")
assert(backend and not backend:isnil(), "Ardour has no dummy backend")
backend:set_device_name("Sine Wave")
AudioEngine:set_sample_rate(48000)
AudioEngine:set_buffer_size(256)
assert(AudioEngine:start(false) == 0, "the dummy engine did not start")

if phase == "create" then
    local session = create_session(folder, name, 48000)
    assert(session, "cannot create a session in " .. folder)
    for _, plugin in ipairs(plugins) do
        local track = session:new_audio_track(plugin.channels, 2, nil, 1, plugin.track,
            ARDOUR.PresentationInfo.max_order, ARDOUR.TrackMode.Normal, true):front()
        local processor = ARDOUR.LuaAPI.new_plugin(session, plugin.uri, ARDOUR.PluginType.LV2,
                                                   plugin.preset)
        assert(not processor:isnil(), "Ardour cannot instantiate " .. plugin.uri)
        local label = processor:to_insert():plugin(0):last_preset().label
        assert(label == plugin.preset, plugin.uri .. ": preset '" .. label .. "' applied")
        assert(track:to_route():add_processor_by_index(processor, 0, nil, true) == 0,
               "cannot add " .. plugin.uri .. " to " .. plugin.track)
        property(processor, plugin.symbol):set_value(plugin.value,
                                                     PBD.GroupControlDisposition.NoGroup)
    end
    run(session)
    assert(session:save_state("", false, false, false, false, false) == 0, "cannot save")
elseif phase == "reload" then
    local session = load_session(folder, name)
    assert(session, "cannot load the session in " .. folder)
    for _, plugin in ipairs(plugins) do
        local route = session:route_by_name(plugin.track)
        assert(not route:isnil(), "the session lost track " .. plugin.track)
        local processor = route:nth_plugin(0)
        assert(not processor:isnil() and processor:to_insert():plugin(0):unique_id() == plugin.uri,
               plugin.track .. " lost its plug-in")
    end
    run(session)
else
    error("unknown phase " .. tostring(phase))
end
close_session()
