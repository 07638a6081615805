"""A local HTTPS package index for the client's own connections.

The server listens on 127.0.0.1 with a certificate made for the test (it names the index
host and 127.0.0.1) and counts what it sees: TCP connections, TLS handshakes and the
requests of each connection. `route_index_host` sends the module's connections for the
index host to it; with SSL_CERT_FILE naming the certificate, the client verifies it with
the interpreter's default context, as it does the real index.

Also used by child processes (memory measurements), so it depends on nothing but the
standard library.
"""

import gzip
import http.server
import json
import os
import shutil
import socket
import socketserver
import ssl
import subprocess
import sys
import threading
import time
import zlib


def make_certificate(directory, hosts):
    """cert.pem and key.pem in `directory` for `hosts` and 127.0.0.1; None without a tool."""
    cert, key = os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem")
    names = ",".join([f"DNS:{h}" for h in hosts] + ["IP:127.0.0.1"])
    try:
        from cryptography import x509  # noqa: F401
    except ImportError:
        x509 = None
    if x509 is None:
        openssl = shutil.which("openssl")
        if not openssl:
            return None
        subprocess.run([openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=talvex test index",
                        "-addext", f"subjectAltName={names}"], check=True, capture_output=True, timeout=60)
        return cert, key
    import datetime
    import ipaddress

    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    private = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "talvex test index")])
    now = datetime.datetime.now(datetime.timezone.utc)
    san = [x509.DNSName(h) for h in hosts] + [x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]
    certificate = (x509.CertificateBuilder().subject_name(name).issuer_name(name)
                   .public_key(private.public_key()).serial_number(x509.random_serial_number())
                   .not_valid_before(now - datetime.timedelta(hours=1))
                   .not_valid_after(now + datetime.timedelta(days=2))
                   .add_extension(x509.SubjectAlternativeName(san), critical=False)
                   .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
                   .add_extension(x509.SubjectKeyIdentifier.from_public_key(private.public_key()), critical=False)
                   .sign(private, hashes.SHA256()))
    with open(cert, "wb") as f:
        f.write(certificate.public_bytes(serialization.Encoding.PEM))
    with open(key, "wb") as f:
        f.write(private.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                      serialization.NoEncryption()))
    return cert, key


class TlsIndex:
    """Answers GET by path from `routes`: path -> (status, body, headers) or a callable
    (handler) -> None that writes the answer itself. Bodies are gzip-compressed when the
    request asks for it and `compress` is set. HTTP/1.1 with keep-alive."""

    def __init__(self, cert, key, *, tls=True):
        self.routes = {}
        self.compress = True
        self.connections = 0
        self.handshakes = 0
        self.requests = []  # (connection number, path, headers)
        self.sent_bytes = 0
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        context = None
        if tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(cert, key)
        index = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"
            disable_nagle_algorithm = True  # headers and body go out as they are written

            def setup(self):
                with index.lock:
                    index.connections += 1
                    self.number = index.connections
                self.request.settimeout(30)
                if context is not None:
                    self.request = context.wrap_socket(self.request, server_side=True)
                    with index.lock:
                        index.handshakes += 1
                super().setup()

            def do_GET(self):  # noqa: N802
                with index.lock:
                    index.requests.append((self.number, self.path, dict(self.headers)))
                route = index.routes.get(self.path, (404, b"not found", {}))
                if callable(route):
                    route(self)
                    return
                status, body, headers = route
                headers = {"Content-Type": "application/json", **headers}
                if (index.compress and "Content-Encoding" not in headers
                        and "gzip" in self.headers.get("Accept-Encoding", "")):
                    body = gzip.compress(body)
                    headers["Content-Encoding"] = "gzip"
                self.send_response(status)
                for k, v in headers.items():
                    self.send_header(k, v)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)
                with index.lock:
                    index.sent_bytes += len(body)

            def log_message(self, *args):
                pass

        class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
            daemon_threads = True
            block_on_close = False

            def handle_error(self, request, client_address):
                pass  # clients that go away mid-answer are part of these tests

        self.httpd = Server(("127.0.0.1", 0), Handler)
        self.port = self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()

    def route(self, path, body, status=200, **headers):
        if callable(body):
            self.routes[path] = body
            return
        if not isinstance(body, bytes):
            body = json.dumps(body).encode()
        self.routes[path] = (status, body, {k.replace("_", "-"): v for k, v in headers.items()})

    def close(self):
        self.stopping.set()
        self.httpd.shutdown()
        self.httpd.server_close()


def drip(index, body, *, every=2.0, limit=60.0, close=False, head_at_once=False):
    """A route that sends a valid answer (status line, headers, body) one byte at a time;
    with `head_at_once`, the status line and headers come at once, then the body drips."""
    def answer(handler):
        head = (b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                b"Content-Length: %d\r\n%s\r\n" % (len(body), b"Connection: close\r\n" if close else b""))
        if head_at_once:
            handler.wfile.write(head)
            handler.wfile.flush()
            head = b""
        data = head + body
        start = time.monotonic()
        for i in range(len(data)):
            if index.stopping.is_set() or time.monotonic() - start > limit:
                break
            try:
                handler.wfile.write(data[i:i + 1])
                handler.wfile.flush()
            except OSError:
                break
            index.stopping.wait(every)
        handler.close_connection = True
    return answer


def route_index_host(host, port):
    """Sends new connections for (host, 443) to 127.0.0.1:port; returns the undo."""
    real = socket.create_connection

    def create_connection(address, *args, **kwargs):
        if address[0] == host and address[1] == 443:
            address = ("127.0.0.1", port)
        return real(address, *args, **kwargs)

    socket.create_connection = create_connection
    return lambda: setattr(socket, "create_connection", real)


def gzip_bomb(size=512 * 1024 * 1024, head=b"", fill=b"\0"):
    """A gzip member of `size` bytes (head, then `fill` repeated), compressed about 1000 times."""
    z = zlib.compressobj(9, zlib.DEFLATED, 31)
    out = [z.compress(head)]
    block = fill * (1024 * 1024 // len(fill))
    for _ in range(size // len(block)):
        out.append(z.compress(block))
    out.append(z.flush())
    return b"".join(out)


class ConnectProxy:
    """An HTTP proxy on 127.0.0.1 that answers CONNECT by tunnelling to `target`
    (127.0.0.1:port) whatever host was asked for; records each CONNECT line and its
    Proxy-Authorization header. With `refuse` (a status line), it answers that instead."""

    def __init__(self, target_port, refuse=None):
        self.tunnels = []  # (authority asked for, Proxy-Authorization or None)
        self.lock = threading.Lock()
        proxy = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                self.request.settimeout(30)
                head = b""
                while b"\r\n\r\n" not in head and len(head) < 65536:
                    piece = self.request.recv(4096)
                    if not piece:
                        return
                    head += piece
                lines = head.split(b"\r\n")
                method, authority, _ = lines[0].decode("latin-1").split(" ", 2)
                auth = next((line.split(b":", 1)[1].strip().decode() for line in lines[1:]
                             if line.lower().startswith(b"proxy-authorization:")), None)
                with proxy.lock:
                    proxy.tunnels.append((authority, auth))
                if refuse:
                    self.request.sendall(f"HTTP/1.1 {refuse}\r\nContent-Length: 0\r\n\r\n".encode())
                    return
                if method != "CONNECT":
                    self.request.sendall(b"HTTP/1.1 405 Not Allowed\r\nContent-Length: 0\r\n\r\n")
                    return
                upstream = socket.create_connection(("127.0.0.1", target_port), timeout=30)
                self.request.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
                rest = head.split(b"\r\n\r\n", 1)[1]
                if rest:
                    upstream.sendall(rest)

                def pump(src, dst):
                    try:
                        while True:
                            data = src.recv(65536)
                            if not data:
                                break
                            dst.sendall(data)
                    except OSError:
                        pass
                    for s in (src, dst):
                        try:
                            s.shutdown(socket.SHUT_RDWR)
                        except OSError:
                            pass

                back = threading.Thread(target=pump, args=(upstream, self.request), daemon=True)
                back.start()
                pump(self.request, upstream)
                back.join(30)
                upstream.close()

        class Server(socketserver.ThreadingTCPServer):
            daemon_threads = True
            block_on_close = False
            allow_reuse_address = True

        self.server = Server(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


# A fresh interpreter that evaluates CALL (an expression over `ww`) with its connections for
# the index host sent here, and prints the growth of its peak resident memory around it.
_GROWTH_CHILD = """
import json, os, sys
sys.path[:0] = [os.environ["TALVEX_TEST_DIR"]] + ([os.environ["TALVEX_SITE"]] if os.environ.get("TALVEX_SITE") else [])
import tls_index
import talvex.core.extensions.wheelwork as ww
tls_index.route_index_host(os.environ["TALVEX_TEST_HOST"], int(os.environ["TALVEX_TEST_PORT"]))

def peak():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))

before = peak()
try:
    outcome = repr(CALL)
except Exception as exc:
    outcome = type(exc).__name__ + ": " + str(exc)
print(json.dumps({"growth_kb": peak() - before, "outcome": outcome}))
"""


def measure_growth(call, host, port, certificate, *, timeout=120):
    """{"growth_kb": VmHWM growth around `call`, "outcome": its repr or "Error: message"},
    measured in a child whose connections for `host` reach 127.0.0.1:`port` (Linux only)."""
    env = dict(os.environ, TALVEX_TEST_DIR=os.path.dirname(os.path.abspath(__file__)), TALVEX_TEST_HOST=host,
               TALVEX_TEST_PORT=str(port), SSL_CERT_FILE=certificate)
    proc = subprocess.run([sys.executable, "-c", _GROWTH_CHILD.replace("CALL", call)], env=env,
                          capture_output=True, text=True, timeout=timeout)
    if proc.returncode:
        raise RuntimeError(f"the measuring child failed:\n{proc.stderr}")
    return json.loads(proc.stdout)
