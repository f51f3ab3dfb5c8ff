"""Fetching the price list over HTTP: header, errors, scheme case, page-to-raw rewrite."""

import http.server
import logging
import threading
import urllib.request

import pytest

from tavro import tokenmeter

TABLE = b"| Model | Prompt per 1M | Completion per 1M |\n|---|---|---|\n| gpt-4o | $2.5 | $10 |\n| bad\xff | 1 | 2 |\n"


class PriceServer(http.server.BaseHTTPRequestHandler):
    requests = []

    def do_GET(self):
        type(self).requests.append((self.path, dict(self.headers)))
        if self.path.endswith("/missing"):
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Length", str(len(TABLE)))
        self.end_headers()
        self.wfile.write(TABLE)

    def log_message(self, *args):
        pass


@pytest.fixture
def server():
    PriceServer.requests = []
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), PriceServer)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    tokenmeter.clear_pricing_cache()
    yield f"127.0.0.1:{httpd.server_address[1]}", PriceServer.requests
    tokenmeter.clear_pricing_cache()
    httpd.shutdown()
    httpd.server_close()


@pytest.mark.parametrize("scheme", ["http", "HTTP", "hTtP"])
def test_fetch_sends_user_agent(server, scheme):
    host, requests = server
    table = tokenmeter._parse_pricing(f"{scheme}://{host}/pricing_table.md")
    assert table["gpt-4o"] == {"prompt_per_1M": 2.5, "completion_per_1M": 10.0}
    assert table["bad\ufffd"] == {"prompt_per_1M": 1.0, "completion_per_1M": 2.0}  # undecodable byte replaced
    (path, headers), = requests
    assert path == "/pricing_table.md"
    assert headers["User-Agent"] == "tavro/1.0"


def test_http_error_is_one_warning_and_a_cached_empty_table(server, caplog):
    host, requests = server
    url = f"http://{host}/missing"
    with caplog.at_level(logging.WARNING, logger="tavro.tokenmeter"):
        table = tokenmeter._parse_pricing(url)
        assert tokenmeter._parse_pricing(url) is table
    assert table == {}
    assert len(requests) == 1
    (record,) = caplog.records
    assert record.args[0] == url
    assert record.getMessage() == f"Failed to load pricing from {url}: HTTP Error 404: Not Found"


@pytest.fixture
def captured(monkeypatch):
    seen = []

    class Response:
        def read(self):
            return b"a: prompt $1"

        def close(self):
            seen.append("closed")

    def urlopen(req, timeout=None):
        seen.append((req.full_url, req.get_header("User-agent"), timeout))
        return Response()

    monkeypatch.setattr(urllib.request, "urlopen", urlopen)
    tokenmeter.clear_pricing_cache()
    yield seen
    tokenmeter.clear_pricing_cache()


@pytest.mark.parametrize("url, fetched", [
    ("https://github.com/AgentOps-AI/tokencost/blob/main/pricing_table.md",
     "https://raw.githubusercontent.com/AgentOps-AI/tokencost/main/pricing_table.md"),
    ("HTTP://GitHub.com/o/r/blob/abc123/docs/prices.md", "https://raw.githubusercontent.com/o/r/abc123/docs/prices.md"),
    ("https://github.com/o/r/blob/main/", "https://raw.githubusercontent.com/o/r/main/"),
    ("https://github.com/o/r/tree/main/pricing_table.md", "https://github.com/o/r/tree/main/pricing_table.md"),
    ("https://example.org/o/r/blob/main/x.md", "https://example.org/o/r/blob/main/x.md"),
])
def test_page_address_is_fetched_from_raw_host(captured, url, fetched):
    assert tokenmeter._parse_pricing(url) == {"a": {"prompt_per_1M": 1.0, "completion_per_1M": None}}
    assert captured == [(fetched, "tavro/1.0", 10), "closed"]


def test_default_source_is_the_page_address():
    assert tokenmeter.PRICING_URL == "https://github.com/AgentOps-AI/tokencost/blob/main/pricing_table.md"


def test_rewrite_follows_raw_host_to_loopback(server, monkeypatch, tmp_path):
    # The rewritten address is always https: serve it with a throw-away certificate.
    import shutil
    import ssl
    import subprocess

    if not shutil.which("openssl"):
        pytest.skip("openssl not available")
    cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", str(key), "-out", str(cert)],
                   check=True, capture_output=True)
    PriceServer.requests = []
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), PriceServer)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    httpd.socket = context.wrap_socket(httpd.socket, server_side=True)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    try:
        monkeypatch.setenv("SSL_CERT_FILE", str(cert))
        monkeypatch.setattr(tokenmeter, "_RAW_HOST", f"127.0.0.1:{httpd.server_address[1]}")
        table = tokenmeter._parse_pricing("http://github.com/own/repo/blob/main/pricing_table.md")
        assert table["gpt-4o"]["completion_per_1M"] == 10.0
        assert [p for p, _ in PriceServer.requests] == ["/own/repo/main/pricing_table.md"]
    finally:
        httpd.shutdown()
        httpd.server_close()
