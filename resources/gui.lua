-- Fluxet's own editor layout. A skin's gui.lua runs before this file, so a skin that wants its
-- own layout copies this file into its folder and changes it there (it then also needs its own
-- createUI, because this file's definitions replace the skin's). Coordinates are in units of
-- the window, from its bottom-left corner, y upwards.

local W, H = 720, 360

-- Colours.
local background = {0.105, 0.115, 0.135}
local labelText = {0.80, 0.82, 0.86, 1.0}
local fieldBack = {0.065, 0.072, 0.088}
local fieldActive = {0.10, 0.15, 0.20}
local fieldChanged = {0.24, 0.13, 0.10}
local fieldText = {0.92, 0.93, 0.96}

-- One control: its name above, the knob, its value (a text field you can type into) below.
local cellWidth, cellHeight = 70, 84
local knobSize = 44
local fieldWidth, fieldHeight = 58, 16

function getWindowSize()
    return W, H
end

function getFont()
    return {{name = "DejaVuSans.ttf", size = 12}}
end

function getLabelFont()
    return {{name = "DejaVuSansCondensed.ttf", size = 12}}
end

function getTextFieldFont()
    return {{name = "DejaVuSansMono.ttf", size = 11}}
end

local function valueField(param, x, y, format)
    local field = textField(param, x, y, fieldWidth, fieldHeight, format)
    field:setBackgroundColour(fieldBack[1], fieldBack[2], fieldBack[3])
    field:setActiveColour(fieldActive[1], fieldActive[2], fieldActive[3])
    field:setChangedColour(fieldChanged[1], fieldChanged[2], fieldChanged[3])
    field:setTextColour(fieldText[1], fieldText[2], fieldText[3])
    return field
end

local function caption(text, x, y, justification)
    local l = label(text, x, y, justification or "centre")
    l:setBackgroundColour(0, 0, 0, 0)
    l:setForegroundColour(labelText[1], labelText[2], labelText[3], labelText[4])
    return l
end

-- A knob with its caption and value field; (x, y) is the cell's bottom-left corner.
local function knobCell(g, param, name, x, y, format)
    local centre = x + cellWidth / 2
    g:add(caption(name, centre, y + cellHeight))
    g:add(knob(param, centre - knobSize / 2, y + fieldHeight + 6, knobSize))
    g:add(valueField(param, centre - fieldWidth / 2, y, format))
end

-- Groups of knob cells in a row from left to right, spread so that the row fills width.
local function knobRow(y, left, width, groups)
    local used = 0
    for _, g in ipairs(groups) do
        used = used + #g.cells * cellWidth + 20
    end
    local gap = (width - used) / math.max(#groups - 1, 1)
    local x = left + 10
    for _, g in ipairs(groups) do
        theKnobRenderer = g.renderer
        local box = group(g.title, {18, 10, 10, 10})
        for i, cell in ipairs(g.cells) do
            knobCell(box, cell[1], cell[2], x + (i - 1) * cellWidth, y, cell[3])
        end
        x = x + #g.cells * cellWidth + 20 + gap
    end
end

function createUI()
    setBackgroundColour(background[1], background[2], background[3])
    setGroupInactiveColour(0.46, 0.50, 0.58, 0.85)
    setGroupActiveColour(0.55, 0.78, 1.00, 0.95)
    setBannerColour(1.0, 1.0, 1.0, 0.04)
    setBannerTextColour(0.78, 0.80, 0.85, 1.0)
    setBannerPosition(H - 34)
    setBannerContent("name", 32, 330)

    local knobs = texture("knob.png")
    local amber = knobRenderer(knobs, 32, 0, 64, 416, 0)
    local teal = knobRenderer(knobs, 160, 0, 64, 416, 0)
    local violet = knobRenderer(knobs, 288, 0, 64, 416, 0)

    local left, width = 22, W - 44

    -- What sets the sound.
    knobRow(208, left, width, {
        {title = "Speed (Hz)", renderer = teal, cells = {
            {"Speed (superfine)", "Superfine", "%.3f"},
            {"Speed (fine)", "Fine", "%.2f"},
            {"Speed (coarse)", "Coarse", "%.1f"}}},
        {title = "Depth (%)", renderer = amber, cells = {
            {"Depth (fine)", "Fine", "%.2f"},
            {"Depth (coarse)", "Coarse", "%.1f"}}},
        {title = "Wave", renderer = violet, cells = {
            {"Shape", "Shape", "%.2f"},
            {"Spread", "Spread", "%.3f"},
            {"Bias", "Bias", "%.3f"}}},
    })
    -- The mix and the two slow LFOs.
    knobRow(82, left, width, {
        {title = "Mix", renderer = violet, cells = {
            {"Dry Level", "Dry", "%.3f"},
            {"Effect Level", "Effect", "%.3f"},
            {"Feedback", "Feedback", "%.1f"}}},
        {title = "Speed LFO", renderer = teal, cells = {
            {"Speed LFO Speed", "Rate", "%.2f"},
            {"Speed LFO Depth", "Amount", "%.2f"}}},
        {title = "Depth LFO", renderer = amber, cells = {
            {"Depth LFO Speed", "Rate", "%.2f"},
            {"Depth LFO Depth", "Amount", "%.2f"}}},
    })

    -- The modulation as it runs, and remote control.
    add(infoDisplay(left + 10, 28, 340, 16))
    local osc = group("OSC", {18, 10, 10, 10})
    local right = left + width - 10
    osc:add(button("Prefs", "Prefs", right - 56, 20, 56, 20))
    osc:add(valueField("OSC Port Offset", right - 56 - 12 - fieldWidth, 22))
    osc:add(caption("Port offset", right - 56 - 12 - fieldWidth - 4, 39, "right"))
end
