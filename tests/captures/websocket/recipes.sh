# Recipes for the WebSocket captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop and the rest).
RECIPES+=(websocket/websocket)

# python3-websockets on both ends: an echo server on 8765, a client that
# sends a short text, a 300-byte text (16-bit length) and a 70,000-byte
# binary message (64-bit length); client frames are masked.
record_websocket() {
  setup 1500
  cat > "$WORK/ws_server.py" <<'PY'
import asyncio, sys
import websockets

async def echo(ws, *_):
    async for message in ws:
        await ws.send(message)

async def main():
    async with websockets.serve(echo, sys.argv[1], 8765, compression=None):
        await asyncio.sleep(30)

asyncio.run(main())
PY
  cat > "$WORK/ws_client.py" <<'PY'
import asyncio, sys
import websockets

async def main():
    async with websockets.connect("ws://%s:8765/chat" % sys.argv[1], compression=None) as ws:
        for message in ("hello", "x" * 300, bytes(70000)):
            await ws.send(message)
            await ws.recv()

asyncio.run(main())
PY
  start_s /usr/bin/python3 "$WORK/ws_server.py" "$SRV4"
  local ws_pid=${PIDS[-1]}
  wait_port t 8765
  capture_start websocket
  in_c timeout 10 /usr/bin/python3 "$WORK/ws_client.py" "$SRV4" || true
  capture_stop websocket
  stop_pid "$ws_pid"
  teardown
}
