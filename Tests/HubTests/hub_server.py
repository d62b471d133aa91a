#!/usr/bin/env python3
"""A small model hub for tests and benchmarks, serving repositories from a folder.

Layout of --root: <type>/<owner>/<name>/<files> with type models, datasets or spaces.
Endpoints:
  GET  /api/<type>/<owner>/<name>/revision/<revision>   listing {"siblings":[{"rfilename":...}]}
  HEAD/GET /<owner>/<name>/resolve/<revision>/<file>    a model file (datasets/ and spaces/ prefixed)
  HEAD/GET /__direct/<type>/<owner>/<name>/<file>       the same file, target of redirects
  GET  /__log      the requests received so far (method, raw path, headers), as JSON
  POST /__config   merges a JSON object into the switches below
Switches (command line --NAME VALUE with a JSON value, or /__config):
  token        a token that requests must carry ("Authorization: Bearer <token>"): missing 401, wrong 403
  redirect     "none", "relative" or "absolute": resolve answers 302 to /__direct with the hub headers
  etag         "sha256" (quoted), "weak" (W/"..."), "git" (quoted SHA-1), "linked" (X-Linked-Etag
               holds the SHA-256, ETag something else), "none", or any other text sent as it is
  commit       the X-Repo-Commit value; null leaves the header out
  size         "content-length", "linked" (X-Linked-Size only) or "none", for HEAD answers
  cuts         list of byte counts: each file GET takes the first and drops the connection after
               sending that many body bytes
  ignore_range answer ranged GETs with 200 and the whole file
  range_416    answer ranged GETs with 416
  slow         seconds to wait before each 64 KiB block of a body
  status       {"<file name>": code}: answer requests for that file with the code
  listing      {"<owner>/<name>": [names]}: the listing to serve instead of the folder's files
  tls          {"cert": file, "key": file}: serve HTTPS with that certificate (command line only)
Prints "PORT <n>" on standard output once it listens on 127.0.0.1.
"""
import argparse
import hashlib
import json
import os
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CONFIG = {
    "token": None, "redirect": "none", "etag": "sha256", "commit": "0123456789abcdef0123456789abcdef01234567",
    "size": "content-length", "cuts": [], "ignore_range": False, "range_416": False, "slow": 0,
    "status": {}, "listing": {}, "tls": None,
}
LOCK = threading.Lock()
LOG = []
ROOT = "."
TYPES = ("models", "datasets", "spaces")


def digest(path, algorithm):
    h = hashlib.new(algorithm)
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def record(self):
        if self.path not in ("/__log", "/__config"):
            with LOCK:
                LOG.append({"method": self.command, "path": self.path, "headers": dict(self.headers.items())})

    def reply(self, code, body=b"", headers=None):
        self.send_response(code)
        for k, v in (headers or {}).items():
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def authorized(self):
        token = CONFIG["token"]
        if token is None:
            return True
        given = self.headers.get("Authorization")
        if given is None:
            self.reply(401)
            return False
        if given != "Bearer " + token:
            self.reply(403)
            return False
        return True

    def do_POST(self):
        if self.path == "/__config":
            body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            with LOCK:
                CONFIG.update(json.loads(body or b"{}"))
            return self.reply(200, b"{}")
        self.reply(404)

    def do_HEAD(self):
        self.handle_request()

    def do_GET(self):
        if self.path == "/__log":
            with LOCK:
                return self.reply(200, json.dumps(LOG).encode(), {"Content-Type": "application/json"})
        self.handle_request()

    def handle_request(self):
        self.record()
        raw = urllib.parse.urlsplit(self.path).path
        parts = [urllib.parse.unquote(p) for p in raw.split("/")[1:]]
        if len(parts) >= 6 and parts[0] == "api" and parts[1] in TYPES and parts[4] == "revision":
            if not self.authorized():
                return
            return self.listing(parts[1], parts[2] + "/" + parts[3])
        if parts and parts[0] == "__direct" and len(parts) >= 5:
            return self.file(parts[1], parts[2] + "/" + parts[3], "/".join(parts[4:]), direct=True)
        kind = "models"
        if parts and parts[0] in ("datasets", "spaces"):
            kind, parts = parts[0], parts[1:]
        if len(parts) >= 5 and parts[2] == "resolve":
            if not self.authorized():
                return
            return self.file(kind, parts[0] + "/" + parts[1], "/".join(parts[4:]), direct=False)
        self.reply(404)

    def listing(self, kind, repo):
        folder = os.path.join(ROOT, kind, repo)
        names = CONFIG["listing"].get(repo)
        if names is None:
            if not os.path.isdir(folder):
                return self.reply(404)
            names = sorted(os.path.relpath(os.path.join(d, f), folder) for d, _, fs in os.walk(folder) for f in fs)
        body = json.dumps({"id": repo, "siblings": [{"rfilename": n} for n in names]}).encode()
        self.reply(200, body, {"Content-Type": "application/json"})

    def hub_headers(self, path):
        size = os.path.getsize(path)
        sha = digest(path, "sha256")
        h = {}
        if CONFIG["commit"] is not None:
            h["X-Repo-Commit"] = CONFIG["commit"]
        e = CONFIG["etag"]
        if e == "sha256":
            h["ETag"] = '"%s"' % sha
        elif e == "weak":
            h["ETag"] = 'W/"%s"' % sha
        elif e == "git":
            h["ETag"] = '"%s"' % digest(path, "sha1")
        elif e == "linked":
            h["X-Linked-Etag"] = '"%s"' % sha
            h["ETag"] = '"not-the-content-hash"'
        elif e != "none":
            h["ETag"] = e
        return h, size

    def file(self, kind, repo, name, direct):
        status = CONFIG["status"].get(name)
        if status:
            return self.reply(status)
        path = os.path.join(ROOT, kind, repo, name)
        if not os.path.isfile(path):
            return self.reply(404)
        headers, size = self.hub_headers(path)
        if not direct and CONFIG["redirect"] in ("relative", "absolute"):
            location = "/__direct/%s/%s/%s" % (kind, repo, urllib.parse.quote(name))
            if CONFIG["redirect"] == "absolute":
                location = "http://127.0.0.1:%d%s" % (self.server.server_address[1], location)
            headers["Location"] = location
            headers["X-Linked-Size"] = str(size)
            return self.reply(302, b"", headers)
        if self.command == "HEAD":
            mode = CONFIG["size"]
            if mode == "linked":
                headers["X-Linked-Size"] = str(size)
            self.send_response(200)
            for k, v in headers.items():
                self.send_header(k, v)
            if mode == "content-length":
                self.send_header("Content-Length", str(size))
            self.end_headers()
            return
        self.send_body(path, size, headers)

    def send_body(self, path, size, headers):
        start = 0
        rng = self.headers.get("Range")
        code = 200
        if rng and not CONFIG["ignore_range"]:
            if CONFIG["range_416"]:
                return self.reply(416, b"", {"Content-Range": "bytes */%d" % size})
            start = int(rng.split("=")[1].split("-")[0])
            if start >= size:
                return self.reply(416, b"", {"Content-Range": "bytes */%d" % size})
            code = 206
            headers["Content-Range"] = "bytes %d-%d/%d" % (start, size - 1, size)
        with LOCK:
            cut = CONFIG["cuts"].pop(0) if CONFIG["cuts"] else None
        self.send_response(code)
        for k, v in headers.items():
            self.send_header(k, v)
        self.send_header("Content-Length", str(size - start))
        self.end_headers()
        remaining = size - start if cut is None else min(cut, size - start)
        with open(path, "rb") as f:
            if cut is None and not CONFIG["slow"]:
                self.wfile.flush()
                self.connection.sendfile(f, start, remaining)
            else:
                f.seek(start)
                while remaining > 0:
                    if CONFIG["slow"]:
                        time.sleep(CONFIG["slow"])
                    block = f.read(min(65536, remaining))
                    self.wfile.write(block)
                    remaining -= len(block)
        if cut is not None:
            self.wfile.flush()
            self.close_connection = True
            self.connection.shutdown(2)


def main():
    global ROOT
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    for key in CONFIG:
        parser.add_argument("--" + key.replace("_", "-"), dest=key, type=json.loads)
    args = parser.parse_args()
    ROOT = args.root
    for key in CONFIG:
        if getattr(args, key) is not None:
            CONFIG[key] = getattr(args, key)
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    if CONFIG["tls"]:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(CONFIG["tls"]["cert"], CONFIG["tls"]["key"])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
