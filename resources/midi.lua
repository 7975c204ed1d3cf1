-- midi.lua: Fluxet's own MIDI script.
--
-- Fluxet runs this file when an instance starts, unless a script of your own named midi.lua
-- is in your script folder (~/.local/share/Morvane/Fluxet/Scripts, or
-- /usr/local/share/Morvane/Fluxet/Scripts for every user); every other .lua file there runs
-- after it, in one shared set of globals. To change what MIDI does, copy this file there
-- and edit the copy.
--
-- What it does out of the box (any MIDI channel):
--   CC 1  (mod wheel)     Depth (fine), 0 to 10 %
--   CC 11 (expression)    Effect Level, the whole fader
--   CC 64 (sustain pedal) while held, Feedback 70 %; on release the previous feedback returns
--   pitch wheel           Speed (fine) up to two octaves faster or slower; centre restores it
--   notes 36 to 44        (C2 to G#2) choose the LFO shape: Sine, Saw Up, Saw Down,
--                         Triangle, Square, Rand Sqr, Rand Sqr2, Rand Tri, Wobble
--
-- The script API in brief (parameters are given by number, 0 to 15, or by name):
--   setParameter(p, value)          getParameter(p) -> value
--   getParameterID(name) -> number  getParameterName(p) -> name
--   getParameterMinMax(p) -> min, max   getParameterUnit(p) -> unit code
--   isParameterUsed(p) -> boolean   getNumParameters() -> 16
--   requestCC(cc, f)          f(channel, cc, value)      requestAllCC(f)
--   requestNoteOn(note, f)    f(channel, note, velocity) requestAllNoteOn(f)
--   requestNoteOff(note, f)   (a note-on of velocity 0 counts as a note-off) requestAllNoteOff(f)
--   requestNRPN(number, f)    f(channel, number, value)  requestAllNRPN(f)
--   requestProgramChange(program, f)  f(channel, program) requestAllProgramChange(f)
--   requestPolyPressure(note, f)  f(channel, note, pressure) requestAllPolyPressure(f)
--   requestPitchWheel(f)      f(channel, value 0 to 16383, centre 8192)
--   requestChannelPressure(f) f(channel, pressure)
--   requestTimedCallback(seconds, f) -> timer    f() once, on the timer thread
--   requestPeriodicCallback(seconds, f) -> timer f() every interval until cancelTimer(timer)
--   time() -> seconds since the computer started
--   setGUIBoolValue(i, on)  getGUIBoolValue(i)   eight on/off values, i = 0 to 7
--   sendOSC(...), registerOSCPathForParameter(...), registerOSCPathForFunction(...): OSC
--   globals: version (10201), majorVersion, minorVersion, dotVersion
-- Additions to the original API, for the host's tempo and transport (a beat is a note of the
-- time signature's beat unit; callbacks run at the exact sample, like MIDI callbacks):
--   getTempo() -> beats per minute, or nil     isPlaying() -> boolean
--   getTimeSignature() -> beats per bar, beat unit (4: a quarter), or nil
--   getBeatPosition() -> beats since the transport's origin at this sample, or nil
--   requestTempoChange(f)     f(bpm, beatsPerBar, beatUnit) when the tempo or signature changes
--   requestTransportChange(f) f(playing, beat) when it starts, stops or jumps
--   requestBarCallback(f)     f(bar) on the first sample of every bar while it plays
--   resetLFOPhase([phase])    restart the modulation here, the LFO at phase (0 to 1)
-- Channels run from 1 to 16. MIDI callbacks run inside the audio render at the exact sample
-- of their message, so keep them short: one that runs longer than a quarter of a second is
-- stopped. Errors inside callbacks are ignored; errors while a file loads are printed with
-- "@@@ " in front.

-- Mod wheel: a little more or less chorus depth.
requestCC(1, function(channel, controller, value)
    setParameter("Depth (fine)", value / 127 * 10)
end)

-- Expression pedal: how much of the effect is heard.
requestCC(11, function(channel, controller, value)
    setParameter("Effect Level", value / 127)
end)

-- Sustain pedal: hold the sound in the delay line with strong feedback while it is down.
local feedbackBeforePedal = nil
requestCC(64, function(channel, controller, value)
    if value >= 64 then
        if feedbackBeforePedal == nil then
            feedbackBeforePedal = getParameter("Feedback")
            setParameter("Feedback", 70)
        end
    elseif feedbackBeforePedal ~= nil then
        setParameter("Feedback", feedbackBeforePedal)
        feedbackBeforePedal = nil
    end
end)

-- Pitch wheel: bend the LFO speed around the speed set when the bend began.
local speedMin, speedMax = getParameterMinMax("Speed (fine)")
local speedBeforeBend = nil
requestPitchWheel(function(channel, value)
    if value == 8192 then
        if speedBeforeBend ~= nil then
            setParameter("Speed (fine)", speedBeforeBend)
            speedBeforeBend = nil
        end
        return
    end
    if speedBeforeBend == nil then
        speedBeforeBend = getParameter("Speed (fine)")
    end
    local bend = (value - 8192) / 8192 -- -1 to almost +1
    local speed = speedBeforeBend * 2 ^ (2 * bend)
    setParameter("Speed (fine)", math.max(speedMin, math.min(speedMax, speed)))
end)

-- Notes C2 to G#2: one key per LFO shape, including the random ones and Wobble, which the
-- host's own controls stop short of.
local firstShapeNote = 36
for shape = 0, 8 do
    requestNoteOn(firstShapeNote + shape, function(channel, note, velocity)
        setParameter("Shape", shape)
    end)
end
