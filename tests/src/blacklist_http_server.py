"""Loopback HTTP server for the blacklist download tests.

Prints its port on the first line of standard output, then serves:
  /good.txt  a small list
  /missing   404 with a body that looks like a list (it must not be loaded)
  /slow      starts a list, then stalls for 30 s (the client must give up
             long before)
  /big       a list without end, in chunks, until the client hangs up
  /huge      a list that announces 200,000,000 bytes (Content-Length)
It stops by itself after 60 seconds or when its parent goes away. Given a
file name, it appends a line to that file each time /slow has sent its first
line, so that a test can wait for a download to be under way.
"""
import http.server
import os
import sys
import threading
import time

GOOD = b"# test list\n203.0.113.0/24\n2001:db8::/32\nname,198.51.100.7\n"
NOT_A_LIST = b"192.0.2.99\n"


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        if self.path == "/good.txt":
            self.send_response(200)
            self.send_header("Content-Length", str(len(GOOD)))
            self.end_headers()
            self.wfile.write(GOOD)
        elif self.path == "/big":
            self.send_response(200)
            self.end_headers()
            chunk = b"198.51.100.1\n" * 4096
            try:
                for _ in range(10000):
                    self.wfile.write(chunk)
            except OSError:
                pass
        elif self.path == "/huge":
            self.send_response(200)
            self.send_header("Content-Length", "200000000")
            self.end_headers()
            try:
                self.wfile.write(b"198.51.100.2\n" * 4096)
            except OSError:
                pass
        elif self.path == "/slow":
            self.send_response(200)
            self.send_header("Content-Length", "1000")
            self.end_headers()
            self.wfile.write(b"192.0.2.50\n")
            self.wfile.flush()
            if len(sys.argv) > 1:
                with open(sys.argv[1], "a") as started:
                    started.write("slow\n")
            time.sleep(30)
        else:
            self.send_response(404)
            self.send_header("Content-Length", str(len(NOT_A_LIST)))
            self.end_headers()
            self.wfile.write(NOT_A_LIST)


def watchdog(parent):
    deadline = time.time() + 60
    while time.time() < deadline and os.getppid() == parent:
        time.sleep(0.2)
    os._exit(0)


def main():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=watchdog, args=(os.getppid(),), daemon=True).start()
    sys.stdout.write("%d\n" % server.server_address[1])
    sys.stdout.flush()
    server.serve_forever()


if __name__ == "__main__":
    main()
