"""Test tool for the JSON-RPC captures: answers JSON-RPC 2.0 requests,
over HTTP ("http HOST PORT") or as raw JSON objects on TCP ("tcp HOST PORT",
one object per line)."""
import http.server
import json
import socketserver
import sys


def answer(body):
    req = json.loads(body)
    result = sum(req.get("params", [])) if req.get("method") == "sum" else None
    return json.dumps({"jsonrpc": "2.0", "result": result, "id": req.get("id")}).encode()


class HttpHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        out = answer(self.rfile.read(int(self.headers.get("Content-Length", 0))))
        self.send_response(200)
        self.send_header("Content-Type", self.headers.get("Content-Type", "application/json"))
        self.send_header("Content-Length", str(len(out)))
        self.end_headers()
        self.wfile.write(out)

    def log_message(self, *args):
        pass


class TcpHandler(socketserver.StreamRequestHandler):
    def handle(self):
        for _ in range(16):
            line = self.rfile.readline()
            if not line:
                return
            self.wfile.write(answer(line) + b"\n")


mode, host, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
if mode == "http":
    http.server.HTTPServer((host, port), HttpHandler).serve_forever()
else:
    socketserver.TCPServer((host, port), TcpHandler).serve_forever()
