# Recipes for the industrial and IoT captures of this folder, sourced by
# ../record.sh (which provides setup, start_s, capture_start/capture_stop).
RECIPES+=(industrial/mqtt industrial/mqtt_pipelined industrial/modbus industrial/coap industrial/nmap_tcp industrial/nmap_udp industrial/rtps industrial/modbus_stream)

# mosquitto on 1883 and on 18830 with mosquitto_pub and mosquitto_sub, MQTT
# 3.1.1 and 5.
record_mqtt() {
  setup 1500
  printf 'listener 1883 %s\nlistener 18830 %s\nallow_anonymous true\n' "$SRV4" "$SRV4" > "$WORK/mosquitto.conf"
  start_s mosquitto -c "$WORK/mosquitto.conf"
  local mq_pid=${PIDS[-1]}
  wait_port t 1883
  wait_port t 18830
  capture_start mqtt
  in_c timeout 10 mosquitto_pub -h "$SRV4" -p 1883 -V mqttv311 -t vesk/a -m hello -q 1
  in_c timeout 10 mosquitto_pub -h "$SRV4" -p 1883 -V mqttv5 -t vesk/b -m hello
  in_c timeout 10 mosquitto_sub -h "$SRV4" -p 18830 -V mqttv311 -t vesk/# -C 1 -W 2 > /dev/null 2>&1 || true
  capture_stop mqtt
  stop_pid "$mq_pid"
  teardown
}

# A pymodbus TCP server on 502 and mbpoll reading holding registers.
record_modbus() {
  setup 1500
  cat > "$WORK/modbus_server.py" <<PY
from pymodbus.server import StartTcpServer
from pymodbus.datastore import ModbusSequentialDataBlock, ModbusSlaveContext, ModbusServerContext
store = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, [7] * 100))
StartTcpServer(context=ModbusServerContext(slaves=store, single=True), address=("$SRV4", 502))
PY
  start_s /usr/bin/python3 "$WORK/modbus_server.py"
  local mb_pid=${PIDS[-1]}
  wait_port t 502
  capture_start modbus
  in_c timeout 10 mbpoll -m tcp -a 1 -r 1 -c 4 -1 "$SRV4" > /dev/null 2>&1 || true
  capture_stop modbus
  stop_pid "$mb_pid"
  teardown
}

# libcoap's coap-server and coap-client: a GET of .well-known/core and one
# with an eight-byte token.
record_coap() {
  setup 1500
  start_s coap-server-notls -A "$SRV4" -p 5683
  local coap_pid=${PIDS[-1]}
  wait_port u 5683
  capture_start coap
  in_c timeout 10 coap-client-notls -m get "coap://$SRV4/.well-known/core" > /dev/null 2>&1 || true
  in_c timeout 10 coap-client-notls -m get -T 0102030405060708 "coap://$SRV4/time" > /dev/null 2>&1 || true
  capture_stop coap
  stop_pid "$coap_pid"
  teardown
}

# nmap's s7-info, iec-identify, enip-info and modbus-discover scripts (real
# clients) against small listeners: an ISO transport responder on 102 that
# confirms the COTP connection, ncat on the others.
record_nmap_tcp() {
  setup 1500
  cat > "$WORK/cotp.py" <<PY
import socket
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("$SRV4", 102)); s.listen(4)
for _ in range(4):
    c, _ = s.accept(); c.settimeout(3)
    try:
        for _ in range(4):
            d = c.recv(4096)
            if not d:
                break
            if len(d) > 5 and d[5] == 0xE0:  # connection request: confirm it
                c.sendall(bytes.fromhex("0300001611d00001000100c0010ac1020100c2020102"))
    except OSError:
        pass
    c.close()
PY
  start_s /usr/bin/python3 "$WORK/cotp.py"
  local cotp_pid=${PIDS[-1]}
  start_s ncat -lk "$SRV4" 2404
  local iec_pid=${PIDS[-1]}
  wait_port t 102
  wait_port t 2404
  capture_start nmap_tcp
  in_c timeout 20 nmap -n -Pn -sT -p 102 --script s7-info "$SRV4" > /dev/null 2>&1 || true
  in_c timeout 20 nmap -n -Pn -sT -p 2404 --script iec-identify "$SRV4" > /dev/null 2>&1 || true
  capture_stop nmap_tcp
  stop_pid "$cotp_pid"
  stop_pid "$iec_pid"
  teardown
}

# nmap's bacnet-info, omron-info and knx-gateway-info over UDP and enip-info
# over TCP, against a UDP sink and ncat.
record_nmap_udp() {
  setup 1500
  start_udp_sink 47808 9600 3671
  local p1=${PIDS[-1]}
  start_s ncat -lk "$SRV4" 44818
  local p4=${PIDS[-1]}
  wait_port u 47808
  wait_port u 9600
  wait_port u 3671
  wait_port t 44818
  capture_start nmap_udp
  in_c timeout 20 nmap -n -Pn -sU -p 47808 --script bacnet-info "$SRV4" > /dev/null 2>&1 || true
  in_c timeout 20 nmap -n -Pn -sU -p 9600 --script omron-info "$SRV4" > /dev/null 2>&1 || true
  in_c timeout 20 nmap -n -Pn -sU -p 3671 --script knx-gateway-info "$SRV4" > /dev/null 2>&1 || true
  in_c timeout 20 nmap -n -Pn -sT -p 44818 --script enip-info "$SRV4" > /dev/null 2>&1 || true
  capture_stop nmap_udp
  stop_pid "$p1"
  stop_pid "$p4"
  teardown
}

# cyclonedds-tools' ddsperf: a publisher in the client namespace and a
# subscriber in the server namespace for two seconds, each bound to its veth
# with multicast off and the other side as its only discovery peer (fixed
# participant indexes: the publisher 0, the subscriber 1). First on domain
# 0's ports (7410/7411 for the publisher, 7412/7413 for the subscriber),
# then with the port base moved from 7400 to 17400 (17410-17413).
rtps_pair() {
  local base=$1 s_uri c_uri
  local dds='<CycloneDDS><Domain id="0"><General><Interfaces><NetworkInterface name="%s"/></Interfaces><AllowMulticast>false</AllowMulticast></General><Discovery><Ports><Base>%s</Base></Ports><ParticipantIndex>%s</ParticipantIndex><Peers><Peer address="%s:%s"/></Peers></Discovery></Domain></CycloneDDS>'
  # shellcheck disable=SC2059
  s_uri=$(printf "$dds" vcap-s "$base" 1 "$CLI4" $((base + 10)))
  # shellcheck disable=SC2059
  c_uri=$(printf "$dds" vcap-c "$base" 0 "$SRV4" $((base + 12)))
  start_s env CYCLONEDDS_URI="$s_uri" timeout 10 ddsperf -D 4 sub
  local sub_pid=${PIDS[-1]}
  wait_port u $((base + 12))
  in_c env CYCLONEDDS_URI="$c_uri" timeout 10 ddsperf -D 2 pub 10Hz > /dev/null 2>&1 || true
  stop_pid "$sub_pid"
}

record_rtps() {
  setup 1500
  capture_start rtps
  rtps_pair 7400
  rtps_pair 17400
  capture_stop rtps
  teardown
}

# Modbus requests that do not come one per segment. pymodbus's asyncio
# client sends four reads at once without waiting for the answers, to a
# pymodbus TCP server. pymodbus's server closes a connection on a partial
# frame, so a small server on a second address (it answers Read Coils and
# Read Holding Registers, and joins partial frames) gets the rest from a
# python3 client with TCP_NODELAY: three requests written in one send, then
# two whose 7-byte MBAP header and PDU are written apart.
record_modbus_stream() {
  setup 1500
  local other=10.200.0.3
  in_s ip addr add "$other/24" dev vcap-s
  cat > "$WORK/modbus_server.py" <<PY
from pymodbus.server import StartTcpServer
from pymodbus.datastore import ModbusSequentialDataBlock, ModbusSlaveContext, ModbusServerContext
store = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, [7] * 100))
StartTcpServer(context=ModbusServerContext(slaves=store, single=True), address=("$SRV4", 502))
PY
  cat > "$WORK/modbus_pipeline.py" <<'PY'
import asyncio, sys
from pymodbus.client import AsyncModbusTcpClient
async def main():
    client = AsyncModbusTcpClient(sys.argv[1], port=502, timeout=3)
    await client.connect()
    await asyncio.gather(*(client.read_holding_registers(a, 4, slave=1) for a in (0, 10, 20, 30)))
    client.close()
asyncio.run(main())
PY
  cat > "$WORK/modbus_small_server.py" <<'PY'
import socket, struct, sys
l = socket.socket(); l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
l.bind((sys.argv[1], 502)); l.listen(4)
for _ in range(2):
    c, _ = l.accept()
    buf = b""
    while True:
        data = c.recv(4096)
        if not data:
            break
        buf += data
        while len(buf) >= 7 and len(buf) >= 6 + struct.unpack("!H", buf[4:6])[0]:
            n = 6 + struct.unpack("!H", buf[4:6])[0]
            ident, unit, pdu, buf = buf[:2], buf[6], buf[7:n], buf[n:]
            count = struct.unpack("!H", pdu[3:5])[0]
            body = bytes([pdu[0], 2 * count]) + b"\0\7" * count if pdu[0] == 3 else \
                bytes([pdu[0], (count + 7) // 8]) + b"\xff" * ((count + 7) // 8)
            c.sendall(ident + b"\0\0" + struct.pack("!HB", len(body) + 1, unit) + body)
    c.close()
PY
  cat > "$WORK/modbus_apart.py" <<'PY'
import socket, struct, sys
def adu(ident, pdu):
    return struct.pack("!HHHB", ident, 0, len(pdu) + 1, 1) + pdu
def answer(s):
    head = b""
    while len(head) < 7:
        head += s.recv(7 - len(head))
    rest = struct.unpack("!H", head[4:6])[0] - 1
    while rest > 0:
        rest -= len(s.recv(rest))
s = socket.create_connection((sys.argv[1], 502), timeout=3)
s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
s.sendall(adu(1, b"\x03\x00\x00\x00\x02") + adu(2, b"\x03\x00\x10\x00\x02") + adu(3, b"\x01\x00\x00\x00\x08"))
for _ in range(3):
    answer(s)
s.close()
s = socket.create_connection((sys.argv[1], 502), timeout=3)
s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
for ident, pdu in ((4, b"\x03\x00\x00\x00\x02"), (5, b"\x01\x00\x00\x00\x08")):
    a = adu(ident, pdu)
    s.sendall(a[:7])
    s.sendall(a[7:])
    answer(s)
s.close()
PY
  start_s /usr/bin/python3 "$WORK/modbus_server.py"
  local mb_pid=${PIDS[-1]}
  start_s /usr/bin/python3 "$WORK/modbus_small_server.py" "$other"
  local small_pid=${PIDS[-1]}
  wait_port t 502
  for _ in $(seq 1 50); do in_s ss -Hltn "sport = :502" | grep -qF "$other" && break; sleep 0.1; done
  capture_start modbus_stream
  in_c timeout 10 /usr/bin/python3 "$WORK/modbus_pipeline.py" "$SRV4" > /dev/null 2>&1 || true
  in_c timeout 10 /usr/bin/python3 "$WORK/modbus_apart.py" "$other" || true
  capture_stop modbus_stream
  stop_pid "$small_pid"
  stop_pid "$mb_pid"
  teardown
}

# mosquitto with mosquitto_pub -l (one PUBLISH per line of its input, sent
# back to back after the CONNACK), MQTT 3.1.1 at QoS 0 and MQTT 5 at QoS 1.
record_mqtt_pipelined() {
  setup 1500
  printf 'listener 1883 %s\nallow_anonymous true\n' "$SRV4" > "$WORK/mosquitto.conf"
  start_s mosquitto -c "$WORK/mosquitto.conf"
  local mq_pid=${PIDS[-1]}
  wait_port t 1883
  capture_start mqtt_pipelined
  printf 'one\ntwo\nthree\nfour\nfive\n' | in_c timeout 10 mosquitto_pub -h "$SRV4" -p 1883 -V mqttv311 -t vesk/lines -l
  printf 'one\ntwo\nthree\nfour\nfive\n' | in_c timeout 10 mosquitto_pub -h "$SRV4" -p 1883 -V mqttv5 -t vesk/lines -q 1 -l
  capture_stop mqtt_pipelined
  stop_pid "$mq_pid"
  teardown
}
