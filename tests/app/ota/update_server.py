"""A throw-away HTTPS update server for the update-check tests.

usage: update_server.py CERT KEY ROUTES LOG

Serves on 127.0.0.1 (port chosen by the system, printed as the first line of standard output). Each request reads ROUTES
(a JSON object: path without query -> {"status", "body" | "bodyFile" | "bodyBytes", "location",
"waitForFile", "drip"}) afresh, so a test can change the answers between requests, and appends one JSON line per request
to LOG: {"path", "query", "authorization", "userAgent"}. A route with "waitForFile" answers only
once that file exists (for at most a minute), so a test can hold a request until it is ready.
"bodyBytes" is a body of that many "x" made as it is sent, so a huge one costs the server no
memory; with "drip": [n, seconds] it goes out n bytes every that many seconds (for at most five
minutes), as a server that keeps a client waiting.
"""
import http.server
import json
import os
import ssl
import sys
import time
import urllib.parse

cert, key, routes_path, log_path = sys.argv[1:5]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        with open(log_path, "a") as f:
            f.write(json.dumps({"path": url.path, "query": url.query,
                                "authorization": self.headers.get("Authorization"),
                                "userAgent": self.headers.get("User-Agent")}) + "\n")
        with open(routes_path) as f:
            routes = json.load(f)
        route = routes.get(url.path, {"status": 404, "body": "no such path"})
        if "waitForFile" in route:
            end = time.monotonic() + 60
            while not os.path.exists(route["waitForFile"]) and time.monotonic() < end:
                time.sleep(0.02)
        self.send_response(route.get("status", 200))
        if "location" in route:
            self.send_header("Location", route["location"])
        if "bodyBytes" in route:
            length = route["bodyBytes"]
            self.send_header("Content-Length", str(length))
            self.end_headers()
            step, pause = route.get("drip", (65536, 0))
            chunk = b"x" * step
            end = time.monotonic() + 300
            try:
                while length > 0 and time.monotonic() < end:
                    n = min(length, len(chunk))
                    self.wfile.write(chunk[:n])
                    self.wfile.flush()
                    length -= n
                    time.sleep(pause)
            except OSError:  # the client hung up
                pass
            return
        if "bodyFile" in route:
            with open(route["bodyFile"], "rb") as f:
                body = f.read()
        else:
            body = route.get("body", "").encode()
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()
