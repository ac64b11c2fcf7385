-- Ends the calls a host holds once the front's checks have kept it out for
-- a grace period (FRONT_DOWN_GRACE seconds, set by haproxy.cfg).
--
-- A hung host never answers the calls it holds, and its kernel keeps their
-- connections open, so they would wait out the call time-out (minutes).
-- Ending them the moment a host goes down would also end the calls of a
-- host that was merely too busy to answer two checks in time and comes
-- back half a second later. So a host must stay down for the grace period:
-- one that answers a check again within it keeps its calls.
local grace = tonumber(os.getenv("FRONT_DOWN_GRACE") or "2")

local function seconds()
    local now = core.now()
    return now.sec + now.usec / 1000000
end

core.register_task(function()
    local down_since = {}
    while true do
        local now = seconds()
        for name, server in pairs(core.backends["hosts"].servers) do
            -- "DOWN" only: a host an operator put in maintenance drains.
            if server:get_stats()["status"] == "DOWN" then
                down_since[name] = down_since[name] or now
                if now - down_since[name] >= grace then
                    server:shut_sess()
                end
            else
                down_since[name] = nil
            end
        end
        core.msleep(100)
    end
end)
