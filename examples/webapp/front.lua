-- Ends the calls a host holds once the front's checks have kept it out for
-- a grace period (FRONT_DOWN_GRACE seconds, set by haproxy.cfg).
--
-- A host cut off from the front never answers the calls it holds, and no
-- connection of theirs closes, so they would wait out the call time-out
-- (minutes). The checks ask each host's operator listener, which answers
-- however busy the host is, so a host that fails them is stopped, dead or
-- cut off, not slow; the grace still lets one that answers again keep its
-- calls. And while no host is up, the fault is more likely the front's own
-- or the checks' than every host's at once: then no call is ended.
local grace = tonumber(os.getenv("FRONT_DOWN_GRACE") or "5")

local function seconds()
    local now = core.now()
    return now.sec + now.usec / 1000000
end

core.register_task(function()
    local down_since = {}
    while true do
        local now = seconds()
        local servers = core.backends["hosts"].servers
        local any_up = false
        for _, server in pairs(servers) do
            if server:get_stats()["status"] == "UP" then
                any_up = true
            end
        end
        for name, server in pairs(servers) do
            -- "DOWN" only: a host an operator put in maintenance drains.
            if server:get_stats()["status"] == "DOWN" then
                down_since[name] = down_since[name] or now
                if any_up and now - down_since[name] >= grace then
                    server:shut_sess()
                end
            else
                down_since[name] = nil
            end
        end
        core.msleep(100)
    end
end)
