-- Sweep example: CC 74 moves "Depth (coarse)" across its whole range, CC 75 fades from the
-- dry signal to the effect. Run it for one render with:
--   fluxet render --preset Chorusy --midi examples/sweep.mid --scripts examples/sweep IN OUT
local low, high = getParameterMinMax("Depth (coarse)")

requestCC(74, function(channel, controller, value)
    setParameter("Depth (coarse)", low + (high - low) * value / 127)
end)

requestCC(75, function(channel, controller, value)
    setParameter("Dry Level", 1 - value / 127)
    setParameter("Effect Level", value / 127)
end)

print("sweep script loaded")
