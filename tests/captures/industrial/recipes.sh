# Recipes for the industrial and IoT captures of this folder, sourced by
# ../record.sh (which provides setup, start_s, capture_start/capture_stop).
RECIPES+=(industrial/mqtt industrial/modbus industrial/coap)

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
