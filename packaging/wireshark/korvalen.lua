-- Wireshark dissector for the vendor requests of the KORVALEN USB audio chip,
-- as korvalen-fw --record (and the updater's --record) write them: a Linux
-- usbmon capture in which every control transfer to the chip is a submit and
-- a complete, and a device note (transfer type bulk on endpoint 0) names the
-- device before its first transfer.
--
-- It runs after the USB dissector and reads the same frame: the register
-- requests with the bank selected last, ISP mode, the firmware mailbox, the
-- serial-flash pass-through with the SPI command's name, address and length,
-- and the I2C engine's start, address, data, acknowledge and stop.
--
-- Use from the source tree:   tshark -X lua_script:korvalen.lua -r update.pcap
-- Installed: Wireshark loads it from its global plugin folder.
--
-- The chip's state (selected bank, open flash transfer, pending flash answer,
-- mailbox arguments, I2C phase) is built on the first, in-order pass over the
-- capture and kept per frame, so clicking around later shows each frame as it
-- was decoded in order.

local korvalen = Proto("korvalen", "KORVALEN chip requests")

-- Fields ---------------------------------------------------------------------

-- The chip's vendor requests (bRequest).
local REQ_FLASH_WRITE, REQ_FLASH_COMMAND, REQ_FLASH_FETCH, REQ_FLASH_READY = 0x80, 0x81, 0x82, 0x83
local REQ_ISP_ENTER, REQ_ISP_LEAVE = 0x84, 0x85
local REQ_WRITE_REGISTER, REQ_READ_REGISTER = 0x90, 0x91

local request_names = {
  [REQ_FLASH_WRITE] = "flash write",
  [REQ_FLASH_COMMAND] = "flash command with answer",
  [REQ_FLASH_FETCH] = "flash fetch answer",
  [REQ_FLASH_READY] = "flash answer ready",
  [REQ_ISP_ENTER] = "enter ISP mode",
  [REQ_ISP_LEAVE] = "leave ISP mode",
  [REQ_WRITE_REGISTER] = "write register",
  [REQ_READ_REGISTER] = "read register",
}

-- The SPI NOR commands the pass-through carries: name, address bytes that
-- follow the opcode, and which request carries them.
local SPI_WRITE_STATUS, SPI_PAGE_PROGRAM, SPI_READ, SPI_WRITE_DISABLE = 0x01, 0x02, 0x03, 0x04
local SPI_READ_STATUS, SPI_WRITE_ENABLE, SPI_SECTOR_ERASE, SPI_READ_ID = 0x05, 0x06, 0x20, 0x9F
local SPI_WORD_PROGRAM, SPI_CHIP_ERASE = 0xAD, 0xC7
local spi = {
  [SPI_WRITE_STATUS] = { name = "write status", addr = 0, via = REQ_FLASH_WRITE },
  [SPI_PAGE_PROGRAM] = { name = "page program", addr = 3, via = REQ_FLASH_WRITE },
  [SPI_READ] = { name = "read", addr = 3, via = REQ_FLASH_COMMAND },
  [SPI_WRITE_DISABLE] = { name = "write disable", addr = 0, via = REQ_FLASH_WRITE },
  [SPI_READ_STATUS] = { name = "read status", addr = 0, via = REQ_FLASH_COMMAND },
  [SPI_WRITE_ENABLE] = { name = "write enable", addr = 0, via = REQ_FLASH_WRITE },
  [SPI_SECTOR_ERASE] = { name = "sector erase", addr = 3, via = REQ_FLASH_WRITE },
  [SPI_READ_ID] = { name = "read ID", addr = 0, via = REQ_FLASH_COMMAND },
  [SPI_WORD_PROGRAM] = { name = "word program", addr = 3, via = REQ_FLASH_WRITE },
  [SPI_CHIP_ERASE] = { name = "chip erase", addr = 0, via = REQ_FLASH_WRITE },
}
local spi_names = {}
for op, c in pairs(spi) do spi_names[op] = c.name end

local media_keys = { [0x40] = "Prev", [0x02] = "Vol -", [0x10] = "Play", [0x01] = "Vol +", [0x20] = "Next" }

local f = {
  device = ProtoField.string("korvalen.device", "Device"),
  channel = ProtoField.string("korvalen.channel", "Driver channel"),
  path = ProtoField.string("korvalen.path", "Interface path"),
  request = ProtoField.uint8("korvalen.request", "Request", base.HEX, request_names),
  summary = ProtoField.string("korvalen.summary", "Summary"),
  request_in = ProtoField.framenum("korvalen.request_in", "Request in", base.NONE, frametype.REQUEST),
  response_in = ProtoField.framenum("korvalen.response_in", "Answer in", base.NONE, frametype.RESPONSE),
  reg_bank = ProtoField.uint8("korvalen.reg.bank", "Bank", base.DEC),
  reg_num = ProtoField.uint8("korvalen.reg.num", "Register", base.DEC),
  reg_value = ProtoField.uint8("korvalen.reg.value", "Value", base.HEX),
  reg_use = ProtoField.string("korvalen.reg.use", "Use"),
  reg_select = ProtoField.uint8("korvalen.reg.select", "Selects bank", base.DEC),
  isp = ProtoField.bool("korvalen.isp", "ISP mode", base.NONE, { "on", "off" }),
  mb_cmd = ProtoField.uint8("korvalen.mailbox.cmd", "Mailbox command", base.HEX),
  mb_arg1 = ProtoField.uint8("korvalen.mailbox.arg1", "Mailbox argument 1", base.HEX),
  mb_arg2 = ProtoField.uint8("korvalen.mailbox.arg2", "Mailbox argument 2", base.HEX),
  mb_what = ProtoField.string("korvalen.mailbox.what", "Mailbox exchange"),
  mb_data = ProtoField.bytes("korvalen.mailbox.data", "Mailbox data", base.SPACE),
  mb_state = ProtoField.uint8("korvalen.mailbox.state", "Mailbox state", base.HEX),
  key = ProtoField.uint8("korvalen.key", "Media key", base.HEX, media_keys),
  flash_cmd = ProtoField.uint8("korvalen.flash.cmd", "SPI command", base.HEX, spi_names),
  flash_addr = ProtoField.uint24("korvalen.flash.addr", "Flash address", base.HEX),
  flash_len = ProtoField.uint16("korvalen.flash.len", "Length", base.DEC),
  flash_data = ProtoField.bytes("korvalen.flash.data", "Data", base.SPACE),
  flash_status = ProtoField.uint8("korvalen.flash.status", "Flash status", base.HEX),
  flash_busy = ProtoField.bool("korvalen.flash.busy", "Busy", 8, nil, 0x01),
  flash_wel = ProtoField.bool("korvalen.flash.wel", "Write enabled", 8, nil, 0x02),
  flash_bp = ProtoField.uint8("korvalen.flash.bp", "Block protection", base.HEX, nil, 0x3C),
  flash_id = ProtoField.bytes("korvalen.flash.id", "Flash ID", base.SPACE),
  flash_ready = ProtoField.bool("korvalen.flash.ready", "Answer ready"),
  flash_blank = ProtoField.bool("korvalen.flash.blank", "All bytes erased (0xFF)"),
  flash_more = ProtoField.bool("korvalen.flash.continues", "Transfer stays open"),
  i2c_op = ProtoField.string("korvalen.i2c.op", "I2C step"),
  i2c_addr = ProtoField.uint8("korvalen.i2c.addr", "I2C address byte", base.HEX),
  i2c_byte = ProtoField.uint8("korvalen.i2c.byte", "I2C data byte", base.HEX),
  i2c_ack = ProtoField.bool("korvalen.i2c.ack", "Acknowledged"),
}
korvalen.fields = f

local e = {
  rejected = ProtoExpert.new("korvalen.rejected", "The device rejected the request",
                             expert.group.RESPONSE_CODE, expert.severity.WARN),
  unknown = ProtoExpert.new("korvalen.unknown", "Unknown request",
                            expert.group.UNDECODED, expert.severity.WARN),
  malformed = ProtoExpert.new("korvalen.malformed", "Malformed request",
                              expert.group.MALFORMED, expert.severity.ERROR),
  unmatched = ProtoExpert.new("korvalen.unmatched", "Answer without its request",
                              expert.group.SEQUENCE, expert.severity.NOTE),
  content = ProtoExpert.new("korvalen.content.unknown", "Content not known to the tool",
                            expert.group.UNDECODED, expert.severity.NOTE),
}
korvalen.experts = { e.rejected, e.unknown, e.malformed, e.unmatched, e.content }

korvalen.prefs.all_devices = Pref.bool("Decode devices without a device note", false,
  "Decode vendor requests of every device, also in captures not made with --record " ..
  "(which name the chip's devices in a device note)")

local HEADER = 64 -- usbmon mmapped header; the transfer's data follows it
local SETUP = 40 -- the setup packet inside the header, little-endian as on the bus
local EVENT_SUBMIT, EVENT_COMPLETE, EVENT_ERROR = 0x53, 0x43, 0x45
local STATUS_IN_PROGRESS = -115 -- what every submission carries
local TRANSFER_CONTROL, TRANSFER_NOTE = 2, 3
local ENDPOINT_0_IN = 0x80
local NOTE_MAGIC = "korvalen-device\n"

local VENDOR_OUT, VENDOR_IN = 0x43, 0xC3
local ISP_ENTER = { request = REQ_ISP_ENTER, value = 0xB6A3, index = 0xF8E2 }
local ISP_LEAVE = { request = REQ_ISP_LEAVE, value = 0x91E7, index = 0x7F03 }
local REG_BANK_SELECT = 0
local BANK_MAILBOX, BANK_ISP_PINS, BANK_I2C = 0, 13, 14
local MB_COMMAND, MB_ARG1, MB_ARG2, MB_DATA = 144, 145, 146, 147
local MB_DONE, MB_KEY_TAKEN = 0xEE, 0x31
local MB_SETTINGS, MB_KEY = 0x10, 0x30
local REG_RATE, REG_EXTRA, REG_STATE = 164, 165, 166
local REG_VERSION_MAJOR, REG_VERSION_MINOR = 174, 175
local I2C_CONTROL, I2C_SETUP, I2C_SEND, I2C_RECEIVED, I2C_GO = 16, 17, 18, 19, 20
-- Values of the I2C control register: start (also a repeated start), stop,
-- receive a byte and acknowledge it, receive the last byte without.
local I2C_START, I2C_STOP, I2C_RECEIVE_ACK, I2C_RECEIVE_LAST = 0xC0, 0xA0, 0x80, 0x90
local MB_SETTINGS_READ = 0x21
local NO_SETUP = 0x2D -- '-': the record carries no setup packet

local channels = {
  ["{50894fa4-9206-4a91-8728-cf6f268f271d}"] = "audio-driver channel",
  ["{a5dcbf10-6530-11d2-901f-00c04fb951ed}"] = "device-interface channel",
}

-- Settings sub-commands of mailbox command 0x10 (argument 1; bit 0 set
-- means the host fetches).
local mailbox_subjects = {
  [0x08] = { what = "USB VID text", text = true },
  [0x0A] = { what = "USB PID text", text = true },
  [0x10] = { what = "manufacturer string", chunk = true },
  [0x14] = { what = "product string", chunk = true },
  [0x18] = { what = "serial number string", chunk = true },
  [0x20] = { what = "settings block write" },
  [0x21] = { what = "settings block read" },
}

local pcm_rates = { [0] = "44.1KHz", "48KHz", "88.2KHz", "96KHz", "176.4KHz", "192KHz",
                    "352.8KHz", "384KHz", "705.6KHz", "768KHz" }
local dsd_rates = { [0] = "DoP 64", "DoP 128", "DoP 256", "DoP 512", nil, nil, nil, nil,
                    "DSD 64", "DSD 128", "DSD 256", "DSD 512" }

local standard_requests = {
  [0] = "GET STATUS", [1] = "CLEAR FEATURE", [3] = "SET FEATURE", [5] = "SET ADDRESS",
  [6] = "GET DESCRIPTOR", [7] = "SET DESCRIPTOR", [8] = "GET CONFIGURATION",
  [9] = "SET CONFIGURATION", [10] = "GET INTERFACE", [11] = "SET INTERFACE", [12] = "SYNCH FRAME",
}

-- Helpers --------------------------------------------------------------------

local function bit(v, n) return math.floor(v / 2 ^ n) % 2 == 1 end
local function hex8(v) return string.format("0x%02X", v) end
local function hex24(v) return string.format("0x%06X", v) end

local function hex_bytes(tvb, off, len, max)
  local shown = math.min(len, max or len)
  local parts = { tvb:raw(off, shown):byte(1, shown) }
  for i, b in ipairs(parts) do parts[i] = string.format("%02X", b) end
  if shown < len then parts[#parts + 1] = "..." end
  return table.concat(parts, " ")
end

-- Characters as the device gets them, one byte each; anything unprintable
-- is escaped so a text can never garble the view.
local function quoted(bytes)
  local out = {}
  for i = 1, #bytes do
    local b = bytes[i]
    if b >= 0x20 and b < 0x7F and b ~= 0x27 and b ~= 0x5C then
      out[#out + 1] = string.char(b)
    else
      out[#out + 1] = string.format("\\x%02X", b)
    end
  end
  return "'" .. table.concat(out) .. "'"
end

-- One frame's decode: a summary, tree items and expert marks, kept so later
-- passes show it without running the state machine again. A recording holds
-- hundreds of thousands of frames, so the items lie flat, four slots each
-- (field, value, offset, length; false where there is none).
local function new_out()
  return { items = {} }
end
local function item(out, field, value, off, len)
  local items = out.items
  local n = #items
  if value == nil then value = false end
  items[n + 1], items[n + 2], items[n + 3], items[n + 4] = field, value, off or false, len or false
end
local function mark(out, which, text)
  out.experts = out.experts or {}
  out.experts[#out.experts + 1] = which
  out.experts[#out.experts + 1] = text
end

-- Capture state -------------------------------------------------------------

local devices, pending, frames

local function reset()
  devices = {} -- by bus and device number
  pending = {} -- submitted, not yet completed transfers, by device and URB id
  frames = {} -- frame number -> decode
end
reset()
korvalen.init = reset

local function device_state(key)
  local d = devices[key]
  if not d then
    d = {
      bank = nil, -- nil: not known from this capture
      isp = nil,
      flash = { open = nil, aai_next = nil, answer = nil },
      mailbox = { data = {}, arg1 = nil, arg2 = nil, command = nil },
      i2c = { expect_address = false, last = nil },
      status = {},
    }
    devices[key] = d
  end
  return d
end

-- Device note ---------------------------------------------------------------

local function decode_note(tvb, d, out)
  local len = tvb:len() - HEADER
  local text = tvb:raw(HEADER, len)
  local class, path = text:match("^korvalen%-device\nclass=(%b{})\npath=([^\n]+)\n$")
  if not class then
    out.summary = "device note (malformed)"
    mark(out, e.malformed, "A device note without its class and path lines")
    return
  end
  local channel = channels[class:lower()] or ("interface class " .. class)
  local id = path:match("vid_%x%x%x%x&pid_%x%x%x%x") or path
  d.noted = { id = id, path = path, channel = channel }
  out.summary = string.format("device note: %s on the %s", id, channel)
  item(out, f.device, id)
  item(out, f.channel, channel)
  local path_off = HEADER + #"korvalen-device\nclass=" + #class + #"\npath="
  item(out, f.path, path, path_off, #path)
end

-- Registers -----------------------------------------------------------------

local function register_use(bank, reg)
  if reg == REG_BANK_SELECT then return "bank select" end
  if bank == BANK_MAILBOX then
    if reg == MB_COMMAND then return "mailbox command" end
    if reg == MB_ARG1 then return "mailbox argument 1" end
    if reg == MB_ARG2 then return "mailbox argument 2" end
    if reg == REG_RATE then return "playback rate" end
    if reg == REG_EXTRA then return "playback status 2" end
    if reg == REG_STATE then return "playback state" end
    if reg == REG_VERSION_MAJOR then return "firmware version, major" end
    if reg == REG_VERSION_MINOR then return "firmware version, minor" end
    if reg >= MB_DATA then return string.format("mailbox data %d", reg - MB_DATA) end
  elseif bank == BANK_ISP_PINS then
    if reg == 1 or reg == 7 then return "flash pin routing" end
  elseif bank == BANK_I2C then
    if reg == I2C_CONTROL then return "I2C control and status" end
    if reg == I2C_SETUP then return "I2C set-up" end
    if reg == I2C_SEND then return "I2C byte to send" end
    if reg == I2C_RECEIVED then return "I2C byte received" end
    if reg == I2C_GO then return "I2C byte start" end
  end
  return nil
end

local function describe_mailbox(d, command, out)
  local mb = d.mailbox
  local bytes = {}
  for i = 0, 108 do
    if mb.data[i] == nil then break end
    bytes[#bytes + 1] = mb.data[i]
  end
  item(out, f.mb_cmd, command)
  if mb.arg1 then item(out, f.mb_arg1, mb.arg1) end
  if mb.arg2 then item(out, f.mb_arg2, mb.arg2) end
  if command == MB_KEY then
    local name = mb.arg1 and media_keys[mb.arg1]
    if mb.arg1 then item(out, f.key, mb.arg1) end
    if not name then
      mark(out, e.content, "A media key code the tool does not send")
      return string.format("media key %s (unknown)", mb.arg1 and hex8(mb.arg1) or "?")
    end
    return "media key " .. name
  end
  local subject = command == MB_SETTINGS and mb.arg1 and mailbox_subjects[mb.arg1]
  if not subject then
    mark(out, e.content, "A mailbox command the tool does not send")
    return string.format("mailbox command %s, argument %s (unknown)", hex8(command),
                         mb.arg1 and hex8(mb.arg1) or "?")
  end
  local what = subject.what
  if subject.chunk then
    what = string.format("%s, chunk %s", what, mb.arg2 or "?")
  end
  item(out, f.mb_what, what)
  if bit(mb.arg1, 0) or #bytes == 0 then return what end
  local shown
  if subject.text then
    shown = quoted(bytes)
  elseif subject.chunk and mb.arg2 == 0 then
    local chars = { table.unpack(bytes, 2) }
    shown = string.format("length %d, %s", bytes[1], quoted(chars))
  elseif subject.chunk then
    shown = quoted(bytes)
  else
    local hex = {}
    for i, b in ipairs(bytes) do hex[i] = string.format("%02X", b) end
    shown = table.concat(hex, " ")
  end
  return string.format("%s: %s", what, shown)
end

-- What writing value to a register means, given the device's state; updates
-- that state.
local function register_write_meaning(d, bank, reg, value, out)
  if reg == REG_BANK_SELECT then
    item(out, f.reg_select, value)
    return "select bank " .. value
  end
  if bank == BANK_MAILBOX then
    local mb = d.mailbox
    if reg == MB_ARG1 then mb.arg1 = value
    elseif reg == MB_ARG2 then mb.arg2 = value
    elseif reg >= MB_DATA and reg <= 255 then mb.data[reg - MB_DATA] = value
    elseif reg == MB_COMMAND then
      if value == 0 then
        mb.data = {}
        return "mailbox: command register cleared"
      end
      local text = describe_mailbox(d, value, out)
      mb.command = { code = value, arg1 = mb.arg1 }
      mb.data = {}
      return "mailbox: " .. text
    end
    return nil
  end
  if bank == BANK_ISP_PINS and (reg == 1 or reg == 7) then
    return "flash pin routing"
  end
  if bank == BANK_I2C then
    local i2c = d.i2c
    if reg == I2C_CONTROL then
      if value == I2C_START then
        i2c.expect_address = true
        item(out, f.i2c_op, "start")
        return "I2C: start"
      elseif value == I2C_STOP then
        item(out, f.i2c_op, "stop")
        return "I2C: stop"
      elseif value == I2C_RECEIVE_ACK then
        i2c.last = { receive = true }
        item(out, f.i2c_op, "receive")
        return "I2C: receive a byte, ACK"
      elseif value == I2C_RECEIVE_LAST then
        i2c.last = { receive = true }
        item(out, f.i2c_op, "receive")
        return "I2C: receive the last byte, NACK"
      end
      mark(out, e.content, "An I2C control value the tool does not send")
      return "I2C: control value unknown"
    elseif reg == I2C_SETUP then
      item(out, f.i2c_op, "set-up")
      return "I2C: set-up"
    elseif reg == I2C_GO then
      if value == 1 then return "I2C: send a byte" end
      if value == 3 then return "I2C: receive a byte" end
      return nil
    elseif reg == I2C_SEND then
      if i2c.expect_address then
        i2c.expect_address = false
        i2c.last = { address = value }
        item(out, f.i2c_op, "address")
        item(out, f.i2c_addr, value)
        return string.format("I2C: %s %s", hex8(value), bit(value, 0) and "read" or "write")
      end
      i2c.last = { byte = value }
      item(out, f.i2c_op, "data")
      item(out, f.i2c_byte, value)
      return "I2C: data " .. hex8(value)
    end
  end
  return nil
end

-- What a value read from a register means.
local function register_read_meaning(d, bank, reg, value, out)
  if reg == REG_BANK_SELECT then return nil end
  if bank == BANK_MAILBOX then
    local mb = d.mailbox
    if reg == MB_COMMAND then
      item(out, f.mb_state, value)
      if value == MB_DONE then return "mailbox: done" end
      if value == MB_KEY_TAKEN and mb.command and mb.command.code == MB_KEY then
        return "mailbox: media key taken"
      end
      return "mailbox: not done yet"
    elseif reg == REG_RATE then
      d.status.rate = value
      return string.format("rate index %d", value % 16)
    elseif reg == REG_STATE then
      if not bit(value, 0) then return "USB Disconnected" end
      if bit(value, 2) then return "USB connected, Mute" end
      local dsd = bit(value, 1)
      local text = "USB connected, Playing, " .. (dsd and "DSD" or "PCM")
      local rate = d.status.rate and (dsd and dsd_rates or pcm_rates)[d.status.rate % 16]
      return rate and (text .. ", " .. rate) or text
    elseif reg == REG_VERSION_MAJOR then
      d.status.major = value
      return "firmware major " .. value
    elseif reg == REG_VERSION_MINOR then
      if d.status.major then return string.format("firmware V%d.%d", d.status.major, value) end
      return "firmware minor " .. value
    elseif reg >= MB_DATA and mb.command and mb.command.arg1 == MB_SETTINGS_READ and reg < MB_DATA + 4 then
      return string.format("settings block byte %d", reg - MB_DATA)
    end
    return nil
  end
  if bank == BANK_I2C then
    local i2c = d.i2c
    if reg == I2C_CONTROL then
      if not bit(value, 0) then return "I2C: byte in progress" end
      local last = i2c.last
      if last and last.receive then return "I2C: byte received" end
      local ack = not bit(value, 3)
      item(out, f.i2c_ack, ack)
      local verdict = ack and "ACK" or "NACK"
      if last and last.address then
        return string.format("I2C: %s %s, %s", hex8(last.address),
                             bit(last.address, 0) and "read" or "write", verdict)
      elseif last and last.byte then
        return string.format("I2C: data %s, %s", hex8(last.byte), verdict)
      end
      return "I2C: byte done, " .. verdict
    elseif reg == I2C_RECEIVED then
      item(out, f.i2c_op, "received")
      item(out, f.i2c_byte, value)
      return "I2C: received " .. hex8(value)
    end
  end
  return nil
end

local function bank_text(bank) return bank and tostring(bank) or "?" end

local function with_meaning(text, meaning)
  if meaning then return text .. " (" .. meaning .. ")" end
  return text
end

local function add_register_items(out, bank, reg)
  if bank then item(out, f.reg_bank, bank) end
  item(out, f.reg_num, reg, SETUP + 4, 2)
  local use = register_use(bank, reg)
  if use then item(out, f.reg_use, use) end
end

local function decode_register_write(tvb, d, s, out)
  local bank = d.bank
  add_register_items(out, bank, s.index)
  local value = tvb(HEADER, 1):uint()
  item(out, f.reg_value, value, HEADER, 1)
  if s.index == REG_BANK_SELECT then d.bank = value end
  local meaning = register_write_meaning(d, bank, s.index, value, out) or register_use(bank, s.index)
  out.summary = with_meaning(string.format("bank %s, register %d := %s", bank_text(bank),
                                           s.index, hex8(value)), meaning)
  return { bank = bank, selects = s.index == REG_BANK_SELECT }
end

local function decode_register_read(d, s, out)
  local bank = d.bank
  add_register_items(out, bank, s.index)
  out.summary = with_meaning(string.format("bank %s, register %d read", bank_text(bank), s.index),
                             register_use(bank, s.index))
  return { bank = bank }
end

-- Flash pass-through ------------------------------------------------------------

local function address_at(tvb, off)
  return tvb(off, 3):uint() -- most significant byte first, as the flash takes it
end

local function decode_flash_write(tvb, d, s, out, len)
  local fl = d.flash
  local ends = s.index == 1
  fl.answer = nil -- a write starts a new flash transfer
  if not ends then item(out, f.flash_more, true) end
  if len == 0 then
    mark(out, e.malformed, "A flash write without data")
    out.summary = "flash write without data"
    return
  end
  if fl.open then
    -- The data of a transfer the previous packet left open.
    local open = fl.open
    if not spi[open.op] then
      mark(out, e.unknown, "Data of an SPI command the tool does not send")
    end
    item(out, f.flash_cmd, open.op)
    if open.addr then item(out, f.flash_addr, open.addr) end
    item(out, f.flash_len, len)
    item(out, f.flash_data, nil, HEADER, len)
    if ends then fl.open = nil end
    out.summary = string.format("flash: %s%s, %d bytes%s", spi[open.op] and spi[open.op].name
                                or hex8(open.op), open.addr and (" " .. hex24(open.addr)) or "",
                                len, ends and "" or " (continues)")
    return
  end
  local op = tvb(HEADER, 1):uint()
  local c = spi[op]
  item(out, f.flash_cmd, op, HEADER, 1)
  if op == SPI_WORD_PROGRAM and len == 3 then
    -- Word programming goes on at the address after the last word.
    local addr = fl.aai_next
    item(out, f.flash_len, 2)
    item(out, f.flash_data, nil, HEADER + 1, 2)
    if not addr then
      out.summary = "flash: word program, 2 bytes (its start is not in this capture)"
      return
    end
    fl.aai_next = addr + 2
    item(out, f.flash_addr, addr)
    out.summary = string.format("flash: word program %s, 2 bytes", hex24(addr))
    return
  end
  if not c or c.via ~= REQ_FLASH_WRITE then
    mark(out, e.unknown, string.format("SPI command %s is not one the tool sends as a flash write",
                                       hex8(op)))
    out.summary = string.format("flash write: unknown SPI command %s, %d bytes", hex8(op), len)
    if not ends then fl.open = { op = op } end
    return
  end
  -- A page program carries its data in the same packet or in the next.
  local fixed = 1 + c.addr
  local expected = fixed
  if op == SPI_WRITE_STATUS then expected = 2 elseif op == SPI_WORD_PROGRAM then expected = 6 elseif op == SPI_PAGE_PROGRAM then
    expected = nil
  end
  if (expected and len ~= expected) or len < fixed or (op == SPI_PAGE_PROGRAM and ends and len == fixed) then
    mark(out, e.malformed, string.format("%s with %d bytes", c.name, len))
    out.summary = string.format("flash: %s with %d bytes (malformed)", c.name, len)
    if not ends then fl.open = { op = op } end
    return
  end
  local addr
  if c.addr == 3 then
    addr = address_at(tvb, HEADER + 1)
    item(out, f.flash_addr, addr, HEADER + 1, 3)
  end
  if op ~= SPI_WORD_PROGRAM then fl.aai_next = nil end
  if op == SPI_WRITE_STATUS then
    local v = tvb(HEADER + 1, 1):uint()
    item(out, f.flash_status, v, HEADER + 1, 1)
    item(out, f.flash_bp, nil, HEADER + 1, 1)
    local bp = math.floor(v / 4) % 16
    out.summary = string.format("flash: write status := %s (%s)", hex8(v),
                                bp ~= 0 and "protect" or "protection off")
  elseif op == SPI_PAGE_PROGRAM then
    if len == fixed then
      fl.open = { op = op, addr = addr }
      out.summary = string.format("flash: page program %s, address (data follows)", hex24(addr))
    else
      item(out, f.flash_len, len - fixed)
      item(out, f.flash_data, nil, HEADER + fixed, len - fixed)
      out.summary = string.format("flash: page program %s, %d bytes", hex24(addr), len - fixed)
    end
  elseif op == SPI_WORD_PROGRAM then
    fl.aai_next = addr + 2
    item(out, f.flash_len, 2)
    item(out, f.flash_data, nil, HEADER + 4, 2)
    out.summary = string.format("flash: word program %s, 2 bytes (starts)", hex24(addr))
  elseif op == SPI_SECTOR_ERASE then
    out.summary = "flash: sector erase " .. hex24(addr)
  else
    out.summary = "flash: " .. c.name
  end
  if not ends and not fl.open then fl.open = { op = op, addr = addr } end
end

local function decode_flash_command(tvb, d, s, out, len)
  local fl = d.flash
  fl.open = nil
  if len == 0 then
    mark(out, e.malformed, "A flash command without its opcode")
    out.summary = "flash command without data"
    return
  end
  local op = tvb(HEADER, 1):uint()
  local c = spi[op]
  item(out, f.flash_cmd, op, HEADER, 1)
  item(out, f.flash_len, s.value, SETUP + 2, 2)
  if not c or c.via ~= REQ_FLASH_COMMAND then
    mark(out, e.unknown, string.format("SPI command %s is not one the tool sends for an answer",
                                       hex8(op)))
    out.summary = string.format("flash: unknown SPI command %s, %d bytes answer", hex8(op), s.value)
    fl.answer = nil
    return
  end
  if len ~= 1 + c.addr or s.value == 0 then
    mark(out, e.malformed, string.format("%s with %d bytes and an answer of %d", c.name, len,
                                         s.value))
    out.summary = string.format("flash: %s (malformed)", c.name)
    fl.answer = nil
    return
  end
  local addr
  if c.addr == 3 then
    addr = address_at(tvb, HEADER + 1)
    item(out, f.flash_addr, addr, HEADER + 1, 3)
  end
  fl.answer = { op = op, addr = addr, count = s.value }
  if op == SPI_READ then
    out.summary = string.format("flash: read %s, %d bytes", hex24(addr), s.value)
  else
    out.summary = string.format("flash: %s (%d byte%s)", c.name, s.value, s.value == 1 and "" or "s")
  end
end

local function status_text(v)
  local parts = { bit(v, 0) and "busy" or "ready" }
  if bit(v, 1) then parts[#parts + 1] = "write enabled" end
  local bp = math.floor(v / 4) % 16
  if bp ~= 0 then parts[#parts + 1] = "protected" end
  return table.concat(parts, ", ")
end

local function answer_name(answer)
  if not answer then return "no command pending" end
  if answer.op == SPI_READ then return "read " .. hex24(answer.addr) end
  return spi[answer.op].name
end

-- The fetched answer of the flash command it belongs to.
local function decode_flash_answer(tvb, ctx, out, len)
  local answer = ctx.answer
  item(out, f.flash_len, len)
  if not answer then
    out.summary = string.format("flash: fetched %d bytes, no command pending in this capture", len)
    item(out, f.flash_data, nil, HEADER, len)
    return
  end
  item(out, f.flash_cmd, answer.op)
  if len < answer.count then
    mark(out, e.malformed, string.format("The device sent %d of %d answer bytes", len, answer.count))
  end
  if answer.op == SPI_READ_ID and len >= 3 then
    item(out, f.flash_id, nil, HEADER, 3)
    out.summary = string.format("flash: read ID = %s (manufacturer %s, memory type %s, capacity %s)",
                                hex_bytes(tvb, HEADER, 3), hex8(tvb(HEADER, 1):uint()),
                                hex8(tvb(HEADER + 1, 1):uint()), hex8(tvb(HEADER + 2, 1):uint()))
  elseif answer.op == SPI_READ_STATUS and len >= 1 then
    local v = tvb(HEADER, 1):uint()
    item(out, f.flash_status, v, HEADER, 1)
    item(out, f.flash_busy, nil, HEADER, 1)
    item(out, f.flash_wel, nil, HEADER, 1)
    item(out, f.flash_bp, nil, HEADER, 1)
    out.summary = string.format("flash: status = %s (%s)", hex8(v), status_text(v))
  elseif answer.op == SPI_READ then
    item(out, f.flash_addr, answer.addr)
    item(out, f.flash_data, nil, HEADER, len)
    local blank = len > 0 and tvb:raw(HEADER, len) == string.rep("\255", len)
    item(out, f.flash_blank, blank)
    out.summary = string.format("flash: read %s, %d bytes%s: %s", hex24(answer.addr), len,
                                blank and " (erased)" or "", hex_bytes(tvb, HEADER, len, 8))
  else
    item(out, f.flash_data, nil, HEADER, len)
    out.summary = string.format("flash: %s answer: %s", spi[answer.op].name,
                                hex_bytes(tvb, HEADER, len, 8))
  end
end

-- Submissions ---------------------------------------------------------------

-- The requests the chip takes, by bRequest: which setup fields they fix.
local function fits(s, request_type, value, index_ok, length_ok)
  return s.request_type == request_type and (value == nil or s.value == value) and index_ok and
         length_ok
end

-- Decodes a submission; returns the context its completion needs, or nil
-- when the request is not the chip's.
local function decode_submit(tvb, d, s, out, len)
  local r = s.request
  item(out, f.request, r, SETUP + 1, 1)
  if r == REQ_WRITE_REGISTER and fits(s, VENDOR_OUT, 0, s.index <= 255, s.length == 1) then
    if len < 1 then
      mark(out, e.malformed, "A register write without its value")
      out.summary = "register write without its value"
      return { kind = "write" }
    end
    local ctx = decode_register_write(tvb, d, s, out)
    ctx.kind = "write"
    return ctx
  elseif r == REQ_READ_REGISTER and fits(s, VENDOR_IN, 0, s.index <= 255, s.length == 1) then
    local ctx = decode_register_read(d, s, out)
    ctx.kind = "read"
    ctx.reg = s.index
    return ctx
  elseif (r == ISP_ENTER.request or r == ISP_LEAVE.request) then
    local m = r == ISP_ENTER.request and ISP_ENTER or ISP_LEAVE
    if fits(s, VENDOR_OUT, m.value, s.index == m.index, s.length == 0) then
      local on = r == ISP_ENTER.request
      d.isp = on
      item(out, f.isp, on)
      out.summary = on and "ISP mode on" or "ISP mode off"
      return { kind = "isp" }
    end
  elseif r == REQ_FLASH_WRITE and fits(s, VENDOR_OUT, 0, s.index <= 1, true) then
    decode_flash_write(tvb, d, s, out, len)
    return { kind = "flash write" }
  elseif r == REQ_FLASH_COMMAND and fits(s, VENDOR_OUT, nil, s.index == 1, s.length >= 1) then
    decode_flash_command(tvb, d, s, out, len)
    return { kind = "flash command" }
  elseif r == REQ_FLASH_READY and fits(s, VENDOR_IN, 0, s.index == 0, s.length == 1) then
    -- With an answer pending it says whether the answer is there; after a
    -- flash write, whether the pass-through has finished with it.
    local answer = d.flash.answer
    out.summary = answer and string.format("flash: answer ready? (%s)", answer_name(answer))
                  or "flash: pass-through idle?"
    if answer then item(out, f.flash_cmd, answer.op) end
    return { kind = "ready", answer = answer }
  elseif r == REQ_FLASH_FETCH and fits(s, VENDOR_IN, 0, s.index == 0, s.length >= 1) then
    local answer = d.flash.answer
    d.flash.answer = nil -- the chip hands the answer over once
    if answer then item(out, f.flash_cmd, answer.op) end
    out.summary = string.format("flash: fetch %d byte%s (%s)", s.length,
                                s.length == 1 and "" or "s", answer_name(answer))
    if answer and answer.count ~= s.length then
      mark(out, e.malformed, string.format("Fetching %d bytes of an answer of %d", s.length,
                                           answer.count))
    end
    return { kind = "fetch", answer = answer }
  end
  local name = request_names[r]
  local why = name and (name .. " with setup fields the chip does not take")
              or ("request " .. hex8(r) .. " is not one of the chip's")
  mark(out, e.unknown, "Unknown request: " .. why)
  out.summary = string.format("unknown request: bmRequestType %s, bRequest %s, wValue 0x%04X, " ..
                              "wIndex 0x%04X, wLength %d", hex8(s.request_type), hex8(r), s.value,
                              s.index, s.length)
  return { kind = "unknown" }
end

local function decode_complete(tvb, d, ctx, status, out, len)
  local rejected = status ~= 0
  if rejected then
    mark(out, e.rejected, string.format("The device rejected the request (URB status %d)", status))
    out.summary = ctx.summary .. " (REJECTED)"
    -- A failed bank select leaves the chip's bank unknown.
    if ctx.selects then d.bank = nil end
    return
  end
  if ctx.kind == "read" then
    if len < 1 then
      mark(out, e.malformed, "A register read answered without its value")
      out.summary = ctx.summary .. " (no value)"
      return
    end
    local value = tvb(HEADER, 1):uint()
    if ctx.bank then item(out, f.reg_bank, ctx.bank) end
    item(out, f.reg_num, ctx.reg)
    local use = register_use(ctx.bank, ctx.reg)
    if use then item(out, f.reg_use, use) end
    item(out, f.reg_value, value, HEADER, 1)
    local meaning = register_read_meaning(d, ctx.bank, ctx.reg, value, out) or use
    out.summary = with_meaning(string.format("bank %s, register %d = %s", bank_text(ctx.bank),
                                             ctx.reg, hex8(value)), meaning)
  elseif ctx.kind == "ready" then
    if len < 1 then
      mark(out, e.malformed, "An answer-ready poll without its byte")
      out.summary = ctx.summary .. " (no value)"
      return
    end
    local ready = tvb(HEADER, 1):uint() ~= 0
    item(out, f.flash_ready, ready, HEADER, 1)
    if ctx.answer then
      item(out, f.flash_cmd, ctx.answer.op)
      out.summary = string.format("flash: answer %s (%s)", ready and "ready" or "not ready",
                                  answer_name(ctx.answer))
    else
      out.summary = ready and "flash: pass-through idle" or "flash: pass-through busy"
    end
  elseif ctx.kind == "fetch" then
    decode_flash_answer(tvb, ctx, out, len)
  else
    out.summary = ctx.summary .. " (done)"
  end
end

-- Dissection ----------------------------------------------------------------

-- The USB dissector has named the two ends of a usbmon record "host" and
-- "bus.device.endpoint"; anything else is not a USB frame.
local function usb_ends(pinfo)
  local src, dst = tostring(pinfo.src), tostring(pinfo.dst)
  local usb = "^%d+%.%d+%.%d+$"
  return (src == "host" and dst:match(usb)) or (dst == "host" and src:match(usb))
end

-- The usbmon header is in the byte order of the machine that reads the
-- capture (Wireshark turns it when the file came from another one); the
-- captured length, or a submission's status, tells which. Without either,
-- the order seen last holds. It is read from one copy of its bytes: a range
-- per field costs more than the rest of the decode.
local little_endian = true

local function u16(b1, b2, le)
  if le then return b1 + b2 * 256 end
  return b1 * 256 + b2
end

local function u32(b1, b2, b3, b4, le)
  if le then return b1 + b2 * 256 + b3 * 65536 + b4 * 16777216 end
  return b1 * 16777216 + b2 * 65536 + b3 * 256 + b4
end

local function s32(v)
  if v >= 2147483648 then return v - 4294967296 end
  return v
end

local function read_header(tvb)
  if tvb:len() < HEADER then return nil end
  local raw = tvb:raw(0, HEADER)
  local event, transfer, endpoint, device, bus1, bus2, flag_setup = raw:byte(9, 15)
  if (event ~= EVENT_SUBMIT and event ~= EVENT_COMPLETE and event ~= EVENT_ERROR) or
     transfer > TRANSFER_NOTE or (flag_setup ~= 0 and flag_setup ~= NO_SETUP) then
    return nil
  end
  local data = tvb:reported_len() - HEADER
  local c1, c2, c3, c4 = raw:byte(37, 40)
  local le, be = u32(c1, c2, c3, c4, true), u32(c1, c2, c3, c4, false)
  local s1, s2, s3, s4 = raw:byte(29, 32)
  if le == data and be ~= data then little_endian = true
  elseif be == data and le ~= data then little_endian = false
  elseif le ~= data then return nil
  elseif s32(u32(s1, s2, s3, s4, true)) == STATUS_IN_PROGRESS then little_endian = true
  elseif s32(u32(s1, s2, s3, s4, false)) == STATUS_IN_PROGRESS then little_endian = false
  end
  local h = {
    event = event,
    transfer = transfer,
    endpoint = endpoint,
    key = u16(bus1, bus2, little_endian) .. "." .. device,
    urb = raw:sub(1, 8),
    has_setup = flag_setup == 0,
    status = s32(u32(s1, s2, s3, s4, little_endian)),
    data = data, -- bytes the monitor captured
    cut = data - (tvb:len() - HEADER), -- of them, missing from this capture
  }
  if h.has_setup then
    -- The setup packet is the bus's own, little-endian whatever the host.
    local t, r, v1, v2, i1, i2, l1, l2 = raw:byte(SETUP + 1, SETUP + 8)
    h.setup = { request_type = t, request = r, value = v1 + v2 * 256, index = i1 + i2 * 256,
                length = l1 + l2 * 256 }
  end
  return h
end

local function decode_frame(tvb, pinfo)
  local h = read_header(tvb)
  if not h then return nil end
  local key, len = h.key, h.data

  if h.transfer == TRANSFER_NOTE and h.endpoint == ENDPOINT_0_IN and h.cut == 0 and len >= #NOTE_MAGIC and
     tvb:raw(HEADER, #NOTE_MAGIC) == NOTE_MAGIC and usb_ends(pinfo) then
    local out = new_out()
    decode_note(tvb, device_state(key), out)
    return out
  end
  if h.transfer ~= TRANSFER_CONTROL or h.endpoint % 128 ~= 0 then return nil end
  local d = devices[key]
  -- A device note has shown this capture to be usbmon's; without one, the
  -- frame itself must show it.
  if not ((d and d.noted) or (korvalen.prefs.all_devices and usb_ends(pinfo))) then
    return nil
  end
  d = device_state(key)

  local out = new_out()
  if d.noted then item(out, f.device, d.noted.id) end
  local urb = key .. "/" .. h.urb
  if h.cut > 0 then
    -- Decoding the bytes that are there would tell half the story.
    mark(out, e.malformed, string.format("The capture holds %d of the %d data bytes", len - h.cut,
                                         len))
    out.summary = "cut short in the capture"
    if h.event == EVENT_SUBMIT then
      pending[urb] = { kind = "cut", summary = out.summary, frame = pinfo.number, out = out }
    else
      pending[urb] = nil
    end
    return out
  end
  if h.event == EVENT_SUBMIT then
    local s = h.setup
    if not s then return nil end -- not a request
    if math.floor(s.request_type / 32) % 4 == 0 then
      -- Standard requests (the presence check, the descriptor test of a
      -- probe) are the USB decode's; they are the link's, not the chip's.
      local name = standard_requests[s.request] or ("standard request " .. hex8(s.request))
      out.summary = "USB " .. name
      out.standard = true
      pending[urb] = { kind = "standard", summary = out.summary, frame = pinfo.number, out = out }
      return out
    end
    local ctx = decode_submit(tvb, d, s, out, len)
    ctx.request = s.request
    ctx.summary = out.summary
    ctx.frame = pinfo.number
    ctx.out = out
    pending[urb] = ctx
    return out
  elseif h.event == EVENT_COMPLETE or h.event == EVENT_ERROR then
    local ctx = pending[urb]
    if not ctx then
      mark(out, e.unmatched, "The request of this answer is not in the capture")
      out.summary = "answer to a request this capture does not hold"
      return out
    end
    pending[urb] = nil
    if ctx.request then item(out, f.request, ctx.request) end
    item(out, f.request_in, ctx.frame)
    ctx.out.response_in = pinfo.number
    local status = h.event == EVENT_ERROR and -1 or h.status
    if ctx.kind == "standard" then
      out.summary = ctx.summary .. (status == 0 and " (done)" or " (REJECTED)")
      out.standard = true
      if status ~= 0 then
        mark(out, e.rejected, string.format("The device rejected the request (URB status %d)", status))
      end
      return out
    end
    if ctx.kind == "unknown" or ctx.kind == "cut" then
      out.summary = ctx.summary .. (status == 0 and " (done)" or " (REJECTED)")
      if status ~= 0 then
        mark(out, e.rejected, string.format("The device rejected the request (URB status %d)", status))
      end
      return out
    end
    decode_complete(tvb, d, ctx, status, out, len)
    return out
  end
  return nil
end

local function render(out, tvb, pinfo, tree)
  local t = tree:add(korvalen, tvb(), "KORVALEN chip: " .. out.summary)
  t:add(f.summary, out.summary):set_generated()
  if out.response_in then t:add(f.response_in, out.response_in):set_generated() end
  local items = out.items
  for i = 1, #items, 4 do
    local field, value, off = items[i], items[i + 1], items[i + 2]
    if not off then
      t:add(field, value):set_generated()
    elseif value == false then
      t:add(field, tvb(off, items[i + 3]))
    else
      t:add(field, tvb(off, items[i + 3]), value)
    end
  end
  local experts = out.experts
  if experts then
    for i = 1, #experts, 2 do t:add_proto_expert_info(experts[i], experts[i + 1]) end
  end
  if not out.standard then
    pinfo.cols.protocol:set("KORVALEN")
    pinfo.cols.info:set(out.summary)
  end
end

function korvalen.dissector(tvb, pinfo, tree)
  local out
  if pinfo.visited then
    out = frames[pinfo.number]
  else
    out = decode_frame(tvb, pinfo)
    frames[pinfo.number] = out
  end
  if out then render(out, tvb, pinfo, tree) end
end

register_postdissector(korvalen)
