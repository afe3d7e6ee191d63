# Recipes for the Thrift captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop and the rest).
RECIPES+=(thrift/thrift)

# python3-thrift's strict binary protocol over a plain socket: a client
# calls "ping" and "divide"; the server answers ping with a reply and
# divide with an exception message.
record_thrift() {
  setup 1500
  cat > "$WORK/thrift_peer.py" <<'PY'
import sys
from thrift.Thrift import TApplicationException, TMessageType
from thrift.protocol import TBinaryProtocol
from thrift.transport import TSocket, TTransport

def empty_struct(p):
    p.writeStructBegin("args")
    p.writeFieldStop()
    p.writeStructEnd()

def skip_struct(p):
    p.readStructBegin()
    while True:
        _, ftype, _ = p.readFieldBegin()
        if ftype == 0:
            break
        p.skip(ftype)
    p.readStructEnd()

if sys.argv[1] == "server":
    server = TSocket.TServerSocket(host=sys.argv[2], port=9090)
    server.listen()
    for _ in range(2):
        client = TTransport.TBufferedTransport(server.accept())
        p = TBinaryProtocol.TBinaryProtocol(client)
        try:
            while True:
                name, _, seq = p.readMessageBegin()
                skip_struct(p)
                p.readMessageEnd()
                if name == "ping":
                    p.writeMessageBegin(name, TMessageType.REPLY, seq)
                    empty_struct(p)
                else:
                    p.writeMessageBegin(name, TMessageType.EXCEPTION, seq)
                    TApplicationException(TApplicationException.UNKNOWN_METHOD, "no " + name).write(p)
                p.writeMessageEnd()
                client.flush()
        except (EOFError, TTransport.TTransportException):
            client.close()
else:
    for name in ("ping", "divide"):
        t = TTransport.TBufferedTransport(TSocket.TSocket(sys.argv[2], 9090))
        t.open()
        p = TBinaryProtocol.TBinaryProtocol(t)
        p.writeMessageBegin(name, TMessageType.CALL, 1)
        empty_struct(p)
        p.writeMessageEnd()
        t.flush()
        p.readMessageBegin()
        t.close()
PY
  start_s /usr/bin/python3 "$WORK/thrift_peer.py" server "$SRV4"
  local t_pid=${PIDS[-1]}
  wait_port t 9090
  capture_start thrift
  in_c timeout 10 /usr/bin/python3 "$WORK/thrift_peer.py" client "$SRV4" || true
  capture_stop thrift
  stop_pid "$t_pid"
  teardown
}
