-- Wireshark dissector for the VEXA sample stream: PLEXO frames (a 32-byte
-- big-endian header) carrying SOREL packets (leader, payload, trailer).
--
-- Load it with `wireshark -X lua_script:vexa.lua` (or tshark), or copy it
-- into the personal Lua plugins folder (~/.local/lib/wireshark/plugins/).
-- Frames are found on the UDP ports of the preference "plexo.ports"
-- (default 50000); "Decode As... PLEXO" takes any other port.
--
-- Written for Wireshark 4.0 (Debian 12) and later.

local plexo = Proto("plexo", "PLEXO frame (VEXA sample stream)")
local sorel = Proto("sorel", "SOREL packet")

local HEADER_SIZE = 32
local MAX_PAYLOAD_SIZE = 8940
local MAX_FRAME_SIZE = HEADER_SIZE + MAX_PAYLOAD_SIZE
local LEADER_SIZE = 8
local PAYLOAD_HEADER_SIZE = 8
local BASIC_IMAGE_INFO_SIZE = 28

------------------------------------------------------------------------
-- Fields
------------------------------------------------------------------------

local ROLE_LEADER, ROLE_PAYLOAD, ROLE_TRAILER, ROLE_INVALID = 1, 2, 3, 0
local role_names = { [ROLE_LEADER] = "leader", [ROLE_PAYLOAD] = "payload", [ROLE_TRAILER] = "trailer",
                     [ROLE_INVALID] = "invalid" }

local pf = {
  topic_id = ProtoField.uint32("plexo.topic_id", "Topic id", base.HEX),
  component_id = ProtoField.uint16("plexo.component_id", "Component id", base.DEC),
  version = ProtoField.uint16("plexo.version", "Version", base.DEC),
  sample_id = ProtoField.uint32("plexo.sample_id", "Sample id", base.DEC),
  frame_id = ProtoField.uint16("plexo.frame_id", "Frame id", base.DEC),
  frame_count = ProtoField.uint16("plexo.frame_count", "Frame count", base.DEC),
  payload_size = ProtoField.uint16("plexo.payload_size", "Payload size", base.DEC),
  reserved = ProtoField.bytes("plexo.reserved", "Reserved"),
  role = ProtoField.uint8("plexo.role", "Role", base.DEC, role_names),
  payload = ProtoField.bytes("plexo.payload", "Payload"),
  trailing = ProtoField.bytes("plexo.trailing", "Bytes after the payload"),
}
plexo.fields = pf

local packet_types = { [1] = "leader", [2] = "payload", [3] = "trailer" }
local endianness_names = { [0] = "big-endian", [1] = "little-endian" }
local source_names = { [0] = "real instrument", [1] = "simulator" }
-- Data types that can be streamed, and the others a leader may still name.
local data_type_names = {
  [0x20] = "Char", [0x40] = "Byte", [0x100] = "Int16", [0x200] = "UInt16", [0x400] = "Int32", [0x800] = "UInt32",
  [0x1000] = "Int64", [0x2000] = "UInt64", [0x10000] = "Float", [0x20000] = "Double",
  [0x1] = "Array", [0x10] = "Invalid", [0x80] = "Bool", [0x80000] = "Complex", [0x21] = "String",
  [0x90000] = "ComplexFloat", [0xA0000] = "ComplexDouble", [0x200000] = "Bitmask", [0x100000] = "Unspecified",
}

local sf = {
  type = ProtoField.uint8("sorel.type", "Packet type", base.DEC, packet_types),
  frame_info = ProtoField.uint8("sorel.frame_info", "Frame info", base.HEX),
  endianness = ProtoField.uint8("sorel.frame_info.endianness", "Pixel byte order", base.DEC, endianness_names, 0x01),
  source = ProtoField.uint8("sorel.frame_info.source", "Source", base.DEC, source_names, 0x0E),
  ext_length = ProtoField.uint16("sorel.ext_length", "Extension length", base.DEC),
  units = ProtoField.uint32("sorel.units", "Payload data units", base.DEC),
  data_units = ProtoField.uint16("sorel.data_units", "Data units", base.DEC),
  reserved = ProtoField.bytes("sorel.reserved", "Reserved"),
  data = ProtoField.bytes("sorel.data", "Pixel data"),
  ext = ProtoField.bytes("sorel.ext", "Extended info"),
  timestamp = ProtoField.double("sorel.ext.timestamp", "Timestamp"),
  datatype = ProtoField.uint32("sorel.ext.datatype", "Data type", base.HEX, data_type_names),
  width = ProtoField.int32("sorel.ext.width", "Width", base.DEC),
  height = ProtoField.int32("sorel.ext.height", "Height", base.DEC),
  offset_x = ProtoField.int32("sorel.ext.offset_x", "Offset x", base.DEC),
  offset_y = ProtoField.int32("sorel.ext.offset_y", "Offset y", base.DEC),
  opaque = ProtoField.bytes("sorel.ext.opaque", "Further extended info"),
}
sorel.fields = sf

------------------------------------------------------------------------
-- Expert info: what the receivers drop as junk, and what they count as loss
------------------------------------------------------------------------

local ex = {
  short = ProtoExpert.new("plexo.short", "Datagram shorter than a PLEXO header",
                          expert.group.MALFORMED, expert.severity.ERROR),
  long = ProtoExpert.new("plexo.long", "Datagram longer than the largest PLEXO frame (8972 bytes)",
                         expert.group.MALFORMED, expert.severity.ERROR),
  impossible = ProtoExpert.new("plexo.impossible_header", "Impossible PLEXO header",
                               expert.group.MALFORMED, expert.severity.ERROR),
  truncated = ProtoExpert.new("plexo.payload_size_exceeds_datagram", "payloadSize longer than the datagram",
                              expert.group.MALFORMED, expert.severity.ERROR),
  trailing = ProtoExpert.new("plexo.trailing_bytes", "Bytes after the payloadSize bytes",
                             expert.group.PROTOCOL, expert.severity.WARN),
  gap = ProtoExpert.new("plexo.frame_gap", "Gap in the frame ids of a sample",
                        expert.group.SEQUENCE, expert.severity.WARN),
  repeated = ProtoExpert.new("plexo.frame_repeated", "Frame id repeated or out of order within a sample",
                             expert.group.SEQUENCE, expert.severity.WARN),
  bad_leader = ProtoExpert.new("sorel.malformed_leader", "Malformed SOREL leader",
                               expert.group.MALFORMED, expert.severity.ERROR),
  bad_payload = ProtoExpert.new("sorel.malformed_payload", "Malformed SOREL payload packet",
                                expert.group.MALFORMED, expert.severity.WARN),
  wrong_type = ProtoExpert.new("sorel.wrong_type", "SOREL packet type does not fit the frame's role",
                               expert.group.PROTOCOL, expert.severity.WARN),
}
plexo.experts = { ex.short, ex.long, ex.impossible, ex.truncated, ex.trailing, ex.gap, ex.repeated }
sorel.experts = { ex.bad_leader, ex.bad_payload, ex.wrong_type }

------------------------------------------------------------------------
-- Preferences
------------------------------------------------------------------------

local DEFAULT_PORTS = "50000"
plexo.prefs.ports = Pref.range("UDP ports", DEFAULT_PORTS, "UDP ports that carry PLEXO frames", 65535)

local udp_table = DissectorTable.get("udp.port")
local registered_ports = nil

local function register_ports()
  if registered_ports then udp_table:remove(registered_ports, plexo) end
  registered_ports = plexo.prefs.ports
  udp_table:add(registered_ports, plexo)
end

function plexo.prefs_changed()
  if plexo.prefs.ports ~= registered_ports then register_ports() end
end

------------------------------------------------------------------------
-- Frame id sequence, per UDP conversation (both addresses and ports)
--
-- Computed in capture order on the first pass and kept per packet, so that
-- clicking around later shows the same findings. Wireshark 4.0's Lua offers
-- no conversation object, so the dissector keeps its own small table.
------------------------------------------------------------------------

local MAX_SAMPLES_PER_CONVERSATION = 32  -- older samples are forgotten
local conversations = {}
local findings = {}  -- packet number -> list of { expert, text }

function plexo.init()
  conversations = {}
  findings = {}
end

local function conversation_of(pinfo)
  local key = tostring(pinfo.src) .. ":" .. pinfo.src_port .. ">" .. tostring(pinfo.dst) .. ":" .. pinfo.dst_port
  local conversation = conversations[key]
  if not conversation then
    conversation = { samples = {}, order = {} }
    conversations[key] = conversation
  end
  return conversation
end

-- The state of `sample_id`, created (and the oldest forgotten) when new.
local function sample_state(conversation, sample_id, frame_count)
  local state = conversation.samples[sample_id]
  if state then return state, false end
  state = { last = 0, count = frame_count, closed = false }
  conversation.samples[sample_id] = state
  table.insert(conversation.order, sample_id)
  if #conversation.order > MAX_SAMPLES_PER_CONVERSATION then
    conversation.samples[table.remove(conversation.order, 1)] = nil
  end
  return state, true
end

local function range_text(first, last)
  if first == last then return "frame " .. first end
  return "frames " .. first .. " to " .. last
end

-- Findings on the frame ids of a sample, for a frame with a possible header.
-- A new leader also closes the samples before it: those that did not reach
-- their trailer lost their last frames.
local function sequence_findings(pinfo, sample_id, frame_id, frame_count)
  local found = {}
  local conversation = conversation_of(pinfo)
  local first_in_capture = #conversation.order == 0
  local state, new = sample_state(conversation, sample_id, frame_count)
  if frame_id == 1 and new then
    for _, id in ipairs(conversation.order) do
      local earlier = conversation.samples[id]
      if id ~= sample_id and not earlier.closed then
        earlier.closed = true
        if earlier.last < earlier.count then
          table.insert(found, { ex.gap, string.format("Sample %u ended without %s of %u", id,
                                                      range_text(earlier.last + 1, earlier.count), earlier.count) })
        end
      end
    end
  end
  if new and first_in_capture and frame_id > 1 then
    -- The capture began inside this sample: nothing to say.
  elseif frame_id > state.last + 1 then
    table.insert(found, { ex.gap, string.format("Sample %u: %s missing", sample_id,
                                                range_text(state.last + 1, frame_id - 1)) })
  elseif frame_id <= state.last then
    table.insert(found, { ex.repeated, string.format("Sample %u: frame %u after frame %u", sample_id, frame_id,
                                                     state.last) })
  end
  if frame_id > state.last then state.last = frame_id end
  return found
end

------------------------------------------------------------------------
-- SOREL
------------------------------------------------------------------------

local function add_common_header(tree, tvb)
  tree:add(sf.type, tvb(0, 1))
  local info = tree:add(sf.frame_info, tvb(1, 1))
  info:add(sf.endianness, tvb(1, 1))
  info:add(sf.source, tvb(1, 1))
  tree:add(sf.ext_length, tvb(2, 2))
end

local function dissect_basic_image_info(tree, tvb)
  local timestamp = tvb(8, 8):float()
  local item = tree:add(sf.timestamp, tvb(8, 8))
  if timestamp == timestamp and timestamp >= 0 and timestamp < 253402300800 then  -- a date before year 10000
    local seconds = math.floor(timestamp)
    item:append_text(string.format(" (%s.%06d UTC)", os.date("!%Y-%m-%d %H:%M:%S", seconds),
                                   math.floor((timestamp - seconds) * 1e6 + 0.5) % 1000000))
  end
  tree:add(sf.datatype, tvb(16, 4))
  tree:add(sf.width, tvb(20, 4))
  tree:add(sf.height, tvb(24, 4))
  tree:add(sf.offset_x, tvb(28, 4))
  tree:add(sf.offset_y, tvb(32, 4))
end

-- A leader packet; returns the Info column's part and whether it is malformed.
local function dissect_leader(tvb, tree)
  local length = tvb:len()
  if length < LEADER_SIZE then
    tree:add_proto_expert_info(ex.bad_leader, string.format("Leader of %u bytes, shorter than 8", length))
    if length >= 1 then tree:add(sf.type, tvb(0, 1)) end
    return "malformed leader", true
  end
  add_common_header(tree, tvb)
  tree:add(sf.units, tvb(4, 4))
  local packet_type = tvb(0, 1):uint()
  local ext_length = tvb(2, 2):uint()
  local units = tvb(4, 4):uint()
  local malformed = false
  if packet_type ~= 1 then
    tree:add_proto_expert_info(ex.bad_leader, string.format("Leader frame carries packet type %u", packet_type))
    malformed = true
  end
  if LEADER_SIZE + ext_length > length then
    tree:add_proto_expert_info(ex.bad_leader, string.format("Extension length %u runs past the %u-byte leader",
                                                            ext_length, length))
    malformed = true
  elseif ext_length > 0 then
    local ext = tree:add(sf.ext, tvb(LEADER_SIZE, ext_length))
    if ext_length >= BASIC_IMAGE_INFO_SIZE then
      ext:set_text("Extended info: Basic Image Info")
      dissect_basic_image_info(ext, tvb)
      if ext_length > BASIC_IMAGE_INFO_SIZE then
        ext:add(sf.opaque, tvb(LEADER_SIZE + BASIC_IMAGE_INFO_SIZE, ext_length - BASIC_IMAGE_INFO_SIZE))
      end
    end
  end
  if malformed then return "malformed leader", true end
  return string.format("leader %u units%s", units, ext_length > 0 and " (extended)" or ""), false
end

local function dissect_payload(tvb, tree)
  local length = tvb:len()
  if length < PAYLOAD_HEADER_SIZE then
    tree:add_proto_expert_info(ex.bad_payload, string.format("Payload packet of %u bytes, shorter than 8", length))
    return "payload (malformed)"
  end
  add_common_header(tree, tvb)
  tree:add(sf.data_units, tvb(4, 2))
  tree:add(sf.reserved, tvb(6, 2))
  local packet_type = tvb(0, 1):uint()
  if packet_type ~= 2 then
    tree:add_proto_expert_info(ex.wrong_type, string.format("Payload frame carries packet type %u", packet_type))
  end
  if length > PAYLOAD_HEADER_SIZE then tree:add(sf.data, tvb(PAYLOAD_HEADER_SIZE)) end
  return string.format("payload %u units", tvb(4, 2):uint())
end

local function dissect_trailer(tvb, tree)
  if tvb:len() >= 4 then
    add_common_header(tree, tvb)
    local packet_type = tvb(0, 1):uint()
    if packet_type ~= 3 then
      tree:add_proto_expert_info(ex.wrong_type, string.format("Trailer frame carries packet type %u", packet_type))
    end
  elseif tvb:len() >= 1 then
    tree:add(sf.type, tvb(0, 1))
  end
  return "trailer"
end

------------------------------------------------------------------------
-- PLEXO
------------------------------------------------------------------------

local function role_of(frame_id, frame_count)
  if frame_id == 0 or frame_count < 2 or frame_id > frame_count then return ROLE_INVALID end
  if frame_id == 1 then return ROLE_LEADER end
  if frame_id == frame_count then return ROLE_TRAILER end
  return ROLE_PAYLOAD
end

function plexo.dissector(tvb, pinfo, tree)
  local length = tvb:len()
  pinfo.cols.protocol = "PLEXO"
  local root = tree:add(plexo, tvb())

  if length < HEADER_SIZE then
    root:add(pf.role, ROLE_INVALID):set_generated()
    root:add_proto_expert_info(ex.short, string.format("%u bytes, a PLEXO header has 32", length))
    pinfo.cols.info = string.format("Junk: %u bytes, shorter than a PLEXO header", length)
    return length
  end

  local sample_id = tvb(12, 4):uint()
  local frame_id = tvb(24, 2):uint()
  local frame_count = tvb(26, 2):uint()
  local payload_size = tvb(28, 2):uint()
  local role = length > MAX_FRAME_SIZE and ROLE_INVALID or role_of(frame_id, frame_count)

  root:add(pf.topic_id, tvb(0, 4))
  root:add(pf.component_id, tvb(4, 2))
  root:add(pf.reserved, tvb(6, 4))
  root:add(pf.version, tvb(10, 2))
  root:add(pf.sample_id, tvb(12, 4))
  root:add(pf.reserved, tvb(16, 8))
  root:add(pf.frame_id, tvb(24, 2))
  root:add(pf.frame_count, tvb(26, 2))
  local size_item = root:add(pf.payload_size, tvb(28, 2))
  root:add(pf.reserved, tvb(30, 2))
  root:add(pf.role, role):set_generated()
  root:append_text(string.format(", Sample %u, Frame %u/%u (%s)", sample_id, frame_id, frame_count, role_names[role]))

  local info = string.format("Sample %u frame %u/%u", sample_id, frame_id, frame_count)
  if length > MAX_FRAME_SIZE then
    root:add_proto_expert_info(ex.long, string.format("%u bytes, a frame has at most %u", length, MAX_FRAME_SIZE))
    pinfo.cols.info = string.format("Junk: %u bytes, longer than a PLEXO frame; %s", length, info)
    return length
  end
  if role == ROLE_INVALID then
    root:add_proto_expert_info(ex.impossible, string.format("Frame id %u of frame count %u", frame_id, frame_count))
    pinfo.cols.info = info .. " impossible header"
    return length
  end

  -- The SOREL packet is what the header announces, cut to the datagram.
  local available = length - HEADER_SIZE
  local packet_size = payload_size
  if payload_size > available then
    size_item:add_proto_expert_info(ex.truncated, string.format("payloadSize %u, the datagram holds %u",
                                                                payload_size, available))
    packet_size = available
    info = info .. " [payloadSize " .. payload_size .. " > " .. available .. "]"
  elseif payload_size < available then
    root:add(pf.trailing, tvb(HEADER_SIZE + payload_size))
    root:add_proto_expert_info(ex.trailing, string.format("%u bytes after the %u payload bytes",
                                                          available - payload_size, payload_size))
  end

  local malformed_leader = false
  if packet_size > 0 then
    local packet_tvb = tvb(HEADER_SIZE, packet_size):tvb()
    local sorel_tree = root:add(sorel, packet_tvb())
    local part
    if role == ROLE_LEADER then
      part, malformed_leader = dissect_leader(packet_tvb, sorel_tree)
    elseif role == ROLE_PAYLOAD then
      part = dissect_payload(packet_tvb, sorel_tree)
    else
      part = dissect_trailer(packet_tvb, sorel_tree)
    end
    info = info .. " " .. part
  elseif role == ROLE_LEADER then
    root:add_proto_expert_info(ex.bad_leader, "Leader without payload")
    malformed_leader = true
    info = info .. " malformed leader"
  else
    info = info .. " " .. role_names[role]
  end

  -- Receivers drop a malformed leader as junk: it takes no place in the sequence.
  if not pinfo.visited and not malformed_leader then
    local found = sequence_findings(pinfo, sample_id, frame_id, frame_count)
    if #found > 0 then findings[pinfo.number] = found end
  end
  for _, finding in ipairs(findings[pinfo.number] or {}) do
    root:add_proto_expert_info(finding[1], finding[2])
  end
  pinfo.cols.info = info
  return length
end

register_ports()
udp_table:add_for_decode_as(plexo)
