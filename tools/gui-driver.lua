-- Reports to tools/screenshots.py what the frames of the capture open in
-- Wireshark's GUI hold, so that a picture is taken only of the right times.
--
-- Loaded with -X lua_script:gui-driver.lua; talks to the script through the
-- folder named by VALTOCRANE_GUI_CONTROL:
--   log      this script appends one line an event: "pass N FRAMES" when
--            the GUI has gone over the frames (read the capture), "frame
--            ..." lines, "error ID ...", "done ID";
--   command  "ID report LABEL", what the next click on Tools > ValtoCrane
--            driver does: go over every frame again (a retap) and log, for
--            each, what the Frame tree and the ValtoCrane tree show.
-- The script clicks the menu item (xdotool) after writing the command and
-- waits for "done ID"; a click on a command already done does nothing, so
-- the script may click again when a click got lost.

local control = os.getenv("VALTOCRANE_GUI_CONTROL")
if not control or not gui_enabled() then
    return
end

local function log(line)
    local f = assert(io.open(control .. "/log", "a"))
    f:write(line, "\n")
    f:close()
end

local function value(field)
    local fi = field()
    if fi == nil then
        return "-"
    end
    return tostring(fi.value)
end

-- A field the plugin does not have (an older build) reads as "-".
local function field(name)
    local ok, f = pcall(Field.new, name)
    if ok then
        return f
    end
    return function() return nil end
end

-- The Frame tree's times, read from the frame record as it stands when the
-- frame is dissected: what the Time column, "Arrival Time" and deltas show.
local frame_time = field("frame.time_epoch")
local frame_shift = field("frame.offset_shift")
local vc_ts = field("valtocrane.ts_utc")
local vc_capture_time = field("valtocrane.capture_time")
local vc_capture_offset = field("valtocrane.capture_offset")

local rows = {}
local passes = 0   -- passes over the frames begun (each starts with a reset)
local logged = -1  -- the last pass reported
local listener = Listener.new("frame", nil, false)

function listener.reset()
    rows = {}
    passes = passes + 1
end

function listener.packet(pinfo)
    rows[#rows + 1] = string.format(
        "frame %d time %s shift %s device %s file %s difference %s",
        pinfo.number, value(frame_time), value(frame_shift), value(vc_ts),
        value(vc_capture_time), value(vc_capture_offset))
    return 1
end

-- Called once a pass over the frames is through (and every few seconds
-- after one): the GUI has read or dissected the capture anew.
function listener.draw()
    if #rows > 0 and logged ~= passes then
        logged = passes
        log("pass " .. passes .. " " .. #rows)
    end
end

local last_id = nil

local function run_command()
    local f = io.open(control .. "/command", "r")
    local command = f and f:read("*l") or ""
    if f then
        f:close()
    end
    local id, verb, arg = command:match("^(%d+) (%S+)%s?(.*)$")
    if id == nil then
        log("error ? unreadable command '" .. command .. "'")
        return
    end
    if id == last_id then
        return
    end
    last_id = id
    local ok, err = pcall(function()
        if verb == "report" then
            retap_packets()
            logged = passes  -- a pass of this script's, not the GUI's
            log("report " .. arg .. " " .. #rows)
            for _, row in ipairs(rows) do
                log(row)
            end
        else
            error("unknown command '" .. verb .. "'")
        end
    end)
    if not ok then
        log("error " .. id .. " " .. tostring(err))
    end
    log("done " .. id .. " " .. verb .. " " .. arg)
end

register_menu("ValtoCrane driver", run_command, MENU_TOOLS_UNSORTED)
log("loaded")
