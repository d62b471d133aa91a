#!/usr/bin/env python3
"""An HTTP proxy for tests that only opens CONNECT tunnels, and only to 127.0.0.1.

  CONNECT 127.0.0.1:<port>   answers "200 Connection established" and relays bytes both ways
  CONNECT <anything else>    403
  GET /__log                 the CONNECT targets received so far, as a JSON list
Prints "PORT <n>" on standard output once it listens on 127.0.0.1.
"""
import json
import select
import socket
import socketserver
import threading

LOCK = threading.Lock()
TUNNELS = []


def relay(a, b):
    sockets = [a, b]
    while True:
        readable, _, _ = select.select(sockets, [], [])
        for s in readable:
            data = s.recv(65536)
            if not data:
                return
            (b if s is a else a).sendall(data)


class Handler(socketserver.StreamRequestHandler):
    rbufsize = 0  # unbuffered: no byte of the tunnelled stream is left in a reader's buffer

    def handle(self):
        line = self.rfile.readline().decode("latin-1").strip()
        while self.rfile.readline() not in (b"\r\n", b"\n", b""):
            pass
        method, target = (line.split(" ") + ["", ""])[:2]
        if method == "GET" and target == "/__log":
            with LOCK:
                body = json.dumps(TUNNELS).encode()
            self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n"
                             b"Content-Length: %d\r\n\r\n" % len(body) + body)
            return
        host, _, port = target.rpartition(":")
        if method != "CONNECT" or host != "127.0.0.1" or not port.isdigit():
            self.wfile.write(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
            return
        with LOCK:
            TUNNELS.append(target)
        upstream = socket.create_connection(("127.0.0.1", int(port)))
        self.wfile.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
        self.wfile.flush()
        try:
            relay(self.connection, upstream)
        except OSError:
            pass
        finally:
            upstream.close()


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    server = Server(("127.0.0.1", 0), Handler)
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
