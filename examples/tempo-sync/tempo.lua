-- Tempo sync: the LFO runs one cycle per note value of the host's tempo, and starts again on
-- every bar, so it stays on the beat however long the piece. CC 20 picks the note value (in
-- eight steps, slowest first). Run it for one render with:
--   fluxet render --tempo 120/4 --midi examples/tempo-sync/tempo.mid \
--       --scripts examples/tempo-sync IN OUT

-- One LFO cycle lasts this many quarter notes.
local noteValues = {
    {name = "whole", quarters = 4},
    {name = "half", quarters = 2},
    {name = "dotted quarter", quarters = 1.5},
    {name = "quarter", quarters = 1},
    {name = "dotted eighth", quarters = 0.75},
    {name = "eighth", quarters = 0.5},
    {name = "eighth triplet", quarters = 1 / 3},
    {name = "sixteenth", quarters = 0.25},
}
local chosen = noteValues[4]

-- The three speed controls add up, each only above its minimum: give the rate to one of them.
local function setSpeed(hertz)
    local coarse, fine, superfine = 10, 0.5, 0.001
    if hertz > 20 then
        coarse = hertz
    elseif hertz > 0.5005 then
        fine = hertz
    else
        superfine = hertz
    end
    setParameter("Speed (coarse)", coarse)
    setParameter("Speed (fine)", fine)
    setParameter("Speed (superfine)", superfine)
end

-- Quarter notes per beat: the host counts beats in its time signature's note value.
local function quartersPerBeat()
    local _, beatUnit = getTimeSignature()
    return 4 / (beatUnit or 4)
end

local function follow()
    local bpm = getTempo()
    if bpm == nil then
        return -- no tempo from the host (yet): the speed stays as it is
    end
    -- A swept speed would drift off the beat.
    setParameter("Speed LFO Depth", 0)
    setSpeed(bpm * quartersPerBeat() / 60 / chosen.quarters)
end

requestCC(20, function(channel, controller, value)
    chosen = noteValues[math.floor(value / 16) + 1]
    follow()
end)

requestTempoChange(function(bpm, beatsPerBar, beatUnit)
    follow()
end)

-- On the first sample of every bar.
requestBarCallback(function(bar)
    resetLFOPhase()
end)

-- Started, or moved to another place: the phase the LFO would have there.
requestTransportChange(function(playing, beat)
    if playing and beat ~= nil then
        local beatsPerBar = getTimeSignature() or 4
        resetLFOPhase((beat % beatsPerBar) * quartersPerBeat() / chosen.quarters)
    end
end)

follow()
