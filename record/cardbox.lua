-- Wireshark dissector for the person record that cardpost sends to cardbox (TCP port
-- 8000), plain or inside TLS, and for the lines that linebounce sends to an echo
-- service (TCP port 9000). Installed where Wireshark loads global Lua plugins; from a
-- source tree: tshark -X lua_script:record/cardbox.lua -r capture.pcapng
--
-- A record is 62 bytes, sent once on a connection of its own:
--   offset  0  nombre    30 bytes: the text as typed, newline included, then zero bytes
--   offset 30  apellido  30 bytes: the same
--   offset 60  edad       2 bytes: an unsigned number, most significant byte first
-- The server's verdict is how it ends the connection: a normal close (over TLS, its
-- close_notify) when the record is in its output, a reset (over TLS, the refusal
-- "no tomado\n" inside TLS) when it was not taken.

local record_port = 8000
local echo_port = 9000
local record_size = 62
local text_size = 30
local age_offset = 60
local refusal_text = "no tomado\n"

local cardbox = Proto("cardbox", "cardbox person record")
local fields = {
    nombre = ProtoField.string("cardbox.nombre", "nombre"),
    nombre_padding = ProtoField.bytes("cardbox.nombre.padding", "nombre padding"),
    apellido = ProtoField.string("cardbox.apellido", "apellido"),
    apellido_padding = ProtoField.bytes("cardbox.apellido.padding", "apellido padding"),
    edad = ProtoField.uint16("cardbox.edad", "edad", base.DEC),
    after = ProtoField.bytes("cardbox.after", "bytes after the record"),
    refusal = ProtoField.string("cardbox.refusal", "refusal"),
    from_server = ProtoField.bytes("cardbox.from_server", "bytes from the server"),
    received = ProtoField.uint32("cardbox.received", "record bytes received", base.DEC),
}
cardbox.fields = {fields.nombre, fields.nombre_padding, fields.apellido, fields.apellido_padding, fields.edad,
                  fields.after, fields.refusal, fields.from_server, fields.received}
local experts = {
    unterminated = ProtoExpert.new("cardbox.expert.unterminated", "no zero byte in the field's 30 bytes: cardbox shows the 30",
                                   expert.group.MALFORMED, expert.severity.WARN),
    short = ProtoExpert.new("cardbox.expert.short", "the connection ended before the whole record",
                            expert.group.MALFORMED, expert.severity.WARN),
    after = ProtoExpert.new("cardbox.expert.after", "bytes after the record: cardbox reads none of them",
                            expert.group.PROTOCOL, expert.severity.NOTE),
    from_server = ProtoExpert.new("cardbox.expert.from_server", "bytes from the server, as no record server sends",
                                  expert.group.PROTOCOL, expert.severity.WARN),
    refused = ProtoExpert.new("cardbox.expert.refused", "the server refused the record",
                              expert.group.RESPONSE_CODE, expert.severity.NOTE),
}
cardbox.experts = {experts.unterminated, experts.short, experts.after, experts.from_server, experts.refused}

local linebounce = Proto("linebounce", "linebounce echo line")
local line_fields = {
    line = ProtoField.string("linebounce.line", "line"),
    echo = ProtoField.string("linebounce.echo", "echo"),
    zero = ProtoField.bool("linebounce.zero", "ends with its zero byte"),
}
linebounce.fields = {line_fields.line, line_fields.echo, line_fields.zero}

local tcp_stream = Field.new("tcp.stream")
local tcp_seq = Field.new("tcp.seq")
local tcp_ack = Field.new("tcp.ack")
local tcp_len = Field.new("tcp.len")
local tcp_fin = Field.new("tcp.flags.fin")
local tcp_reset = Field.new("tcp.flags.reset")
local tcp_srcport = Field.new("tcp.srcport")
local tcp_dstport = Field.new("tcp.dstport")

-- Text as cardbox shows it: control characters escaped as in a C string (\n, \r, ...
-- by name, any other as \xHH), and so are the C1 controls, a byte that is no part of
-- a valid UTF-8 character, and the characters that reorder or break a line unseen.
-- A tab is shown as it is; the newline that ends a typed line stays a newline.

local named = {[7] = "\\a", [8] = "\\b", [10] = "\\n", [11] = "\\v", [12] = "\\f", [13] = "\\r"}

local function escape_byte(byte)
    return named[byte] or string.format("\\x%02X", byte)
end

-- The length of the valid UTF-8 character at `at`, and its code point; 0 if none.
local function utf8_character(text, at)
    local first = text:byte(at)
    local length, point, least
    if first >= 0xC2 and first <= 0xDF then length, point, least = 2, first - 0xC0, 0x80
    elseif first >= 0xE0 and first <= 0xEF then length, point, least = 3, first - 0xE0, 0x800
    elseif first >= 0xF0 and first <= 0xF4 then length, point, least = 4, first - 0xF0, 0x10000
    else return 0 end
    for i = 1, length - 1 do
        local next_byte = text:byte(at + i)
        if next_byte == nil or next_byte < 0x80 or next_byte > 0xBF then return 0 end
        point = point * 64 + (next_byte - 0x80)
    end
    if point < least or point > 0x10FFFF or (point >= 0xD800 and point <= 0xDFFF) then return 0 end
    return length, point
end

local function hides_itself(point)
    return (point >= 0x80 and point <= 0x9F) or (point >= 0x202A and point <= 0x202E) or
           (point >= 0x2066 and point <= 0x2069) or point == 0x2028 or point == 0x2029
end

local function visible(text)
    local shown = {}
    local at = 1
    while at <= #text do
        local byte = text:byte(at)
        if byte == 10 and at == #text then
            shown[#shown + 1] = "\n"
            at = at + 1
        elseif byte < 0x80 then
            local control = (byte < 0x20 and byte ~= 9) or byte == 0x7F
            shown[#shown + 1] = control and escape_byte(byte) or string.char(byte)
            at = at + 1
        else
            local length, point = utf8_character(text, at)
            if length == 0 then
                shown[#shown + 1] = escape_byte(byte)
                at = at + 1
            else
                local character = text:sub(at, at + length - 1)
                if hides_itself(point) then character = character:gsub(".", function(c) return escape_byte(c:byte()) end) end
                shown[#shown + 1] = character
                at = at + length
            end
        end
    end
    return table.concat(shown)
end

-- A text field of the record: the text up to its first zero byte, then its padding.
-- Returns the text as shown.
local function add_text(tree, range, field, padding_field)
    local bytes = range:bytes()
    local length = text_size
    for i = 0, text_size - 1 do
        if bytes:get_index(i) == 0 then
            length = i
            break
        end
    end
    local text = visible(length > 0 and range(0, length):raw() or "")
    local item = tree:add(field, length > 0 and range(0, length) or range(0, 0), text)
    if length == text_size then
        item:add_proto_expert_info(experts.unterminated)
    else
        tree:add(padding_field, range(length))
    end
    return text
end

-- Per connection, kept across passes: who the client is, whether it speaks TLS, and
-- where each direction's bytes stand. Each frame's findings are kept by its number, so
-- that a second pass shows what the first found.
local connections = {}
local frame_offsets = {}
local inside_tls = false
local tls = Dissector.get("tls")
local tls_ports = DissectorTable.get("tls.port")

local function connection_of(pinfo)
    local stream = tcp_stream()
    if stream == nil then return nil end
    local key = stream.value
    local connection = connections[key]
    if connection == nil then
        -- The client speaks first: a record, or a TLS hello.
        connection = {client = tostring(pinfo.src) .. " " .. pinfo.src_port, server_port = pinfo.dst_port,
                      offsets = {0, 0, 0, 0}}
        connections[key] = connection
    end
    return connection
end

local function from_client(connection, pinfo)
    return connection.client == tostring(pinfo.src) .. " " .. pinfo.src_port
end

-- The offset in its direction's bytes (plain or inside TLS) at which the buffer starts:
-- on the first pass, where that direction stands; after it, what the first pass found.
local function offset_of(connection, pinfo, slot, length)
    local key = pinfo.number .. ":" .. slot .. ":" .. length
    if pinfo.visited then return frame_offsets[key] or 0 end
    frame_offsets[key] = connection.offsets[slot]
    return connection.offsets[slot]
end

local function dissect_record(buffer, pinfo, tree, connection)
    local client = from_client(connection, pinfo)
    local slot = (client and 1 or 2) + (inside_tls and 2 or 0)
    local length = buffer:len()
    local at = offset_of(connection, pinfo, slot, length)
    if client and at == 0 and length < record_size then
        -- The rest of the record is still to come.
        pinfo.desegment_offset = 0
        pinfo.desegment_len = record_size - length
        return
    end
    if not pinfo.visited then connection.offsets[slot] = at + length end
    pinfo.cols.protocol = "cardbox"
    local subtree = tree:add(cardbox, buffer())
    if not client then
        local text = buffer():raw()
        if inside_tls and text == refusal_text then
            subtree:add(fields.refusal, buffer(), visible(text)):add_proto_expert_info(experts.refused)
            pinfo.cols.info = "refusal: the record was not taken"
        else
            subtree:add(fields.from_server, buffer()):add_proto_expert_info(experts.from_server)
            pinfo.cols.info = "bytes from the server"
        end
        return
    end
    local taken = 0
    if at == 0 then
        local record = buffer(0, record_size)
        local nombre = add_text(subtree, record(0, text_size), fields.nombre, fields.nombre_padding)
        local apellido = add_text(subtree, record(text_size, text_size), fields.apellido, fields.apellido_padding)
        subtree:add(fields.edad, record(age_offset, 2))
        taken = record_size
        local summary = string.format("record: %s %s, %d", nombre:gsub("\n$", ""), apellido:gsub("\n$", ""),
                                      record(age_offset, 2):uint())
        pinfo.cols.info = summary
        subtree:set_text("cardbox person " .. summary)
    end
    if length > taken then
        subtree:add(fields.after, buffer(taken)):add_proto_expert_info(experts.after)
        if taken == 0 then pinfo.cols.info = "bytes after the record" end
    end
end

function cardbox.dissector(buffer, pinfo, tree)
    local connection = connection_of(pinfo)
    if connection == nil then return 0 end
    if inside_tls then
        dissect_record(buffer, pinfo, tree, connection)
        return
    end
    -- A connection whose client opened with a TLS handshake record is TLS throughout;
    -- what TLS decrypts comes back here, inside it.
    if connection.tls == nil then
        connection.tls = buffer:len() >= 3 and buffer(0, 1):uint() == 0x16 and buffer(1, 1):uint() == 0x03
    end
    if connection.tls then
        -- TLS hands what it decrypts to the dissector for its port: on a port chosen
        -- with Decode As too.
        if connection.server_port ~= record_port and tls_ports:get_dissector(connection.server_port) == nil then
            tls_ports:add(connection.server_port, cardbox)
        end
        inside_tls = true
        local ok, result = pcall(function() return tls:call(buffer, pinfo, tree) end)
        inside_tls = false
        if not ok then error(result) end
        return result
    end
    dissect_record(buffer, pinfo, tree, connection)
end

-- A connection on the record port that ends, by either side, before its client sent
-- a whole record: the short record is marked where the connection ends, since no more
-- of it will come. Plain connections only: inside TLS, the end is TLS's to show.
local connection_end = Proto("cardbox_end", "cardbox connection end")
connection_end.fields = {}
local short_ends = {}

function connection_end.dissector(buffer, pinfo, tree)
    local fin, reset = tcp_fin(), tcp_reset()
    if fin == nil or not (fin.value or reset.value) then return end
    local stream = tcp_stream()
    local connection = connections[stream.value]
    local on_record_port = tcp_srcport().value == record_port or tcp_dstport().value == record_port
    if connection == nil and not on_record_port then return end
    if connection ~= nil and connection.tls then return end
    if not pinfo.visited then
        if connection == nil then
            -- No byte came on it: its client is whoever is not on the record port.
            local client = tcp_dstport().value == record_port and (tostring(pinfo.src) .. " " .. pinfo.src_port) or
                           (tostring(pinfo.dst) .. " " .. pinfo.dst_port)
            connection = {client = client, offsets = {0, 0, 0, 0}}
            connections[stream.value] = connection
        end
        if connection.ended == nil then
            -- Bytes the client sent: its sequence number at its own end, or what the
            -- server acknowledged at the server's.
            local client = from_client(connection, pinfo)
            local sent = client and (tcp_seq().value + tcp_len().value - 1) or math.max(tcp_ack().value - 1, 0)
            connection.ended = pinfo.number
            if sent < record_size then short_ends[pinfo.number] = sent end
        end
    end
    local sent = short_ends[pinfo.number]
    if sent == nil then return end
    local item = tree:add(cardbox, buffer(0, 0))
    item:add(fields.received, sent):set_generated()
    item:add_proto_expert_info(experts.short, string.format(
        "the connection ended after %d of the record's %d bytes: no record", sent, record_size))
    pinfo.cols.info:append(string.format(" [cardbox: ended after %d of %d bytes]", sent, record_size))
end
register_postdissector(connection_end)

-- linebounce sends each line with a zero byte after it, and the service echoes it;
-- the last line goes without one. Each is shown as it came, piece by piece.
function linebounce.dissector(buffer, pinfo, tree)
    local sent = pinfo.dst_port == pinfo.match_uint
    local field = sent and line_fields.line or line_fields.echo
    pinfo.cols.protocol = "linebounce"
    local subtree = tree:add(linebounce, buffer())
    local at, length, shown = 0, buffer:len(), {}
    while at < length do
        local ends = length
        for i = at, length - 1 do
            if buffer(i, 1):uint() == 0 then
                ends = i + 1
                break
            end
        end
        local zero = ends <= length and buffer(ends - 1, 1):uint() == 0
        local text = buffer(at, ends - at - (zero and 1 or 0)):raw()
        local item = subtree:add(field, buffer(at, ends - at), visible(text))
        item:add(line_fields.zero, buffer(ends - 1, 1), zero)
        shown[#shown + 1] = visible(text):gsub("\n$", "\\n")
        at = ends
    end
    pinfo.cols.info = (sent and "line: " or "echo: ") .. table.concat(shown, " | ")
end

DissectorTable.get("tcp.port"):add(record_port, cardbox)
tls_ports:add(record_port, cardbox)
DissectorTable.get("tcp.port"):add(echo_port, linebounce)
