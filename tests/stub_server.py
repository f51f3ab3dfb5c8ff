"""A loopback HTTP stub of the provider endpoints for the real client packages.

Serves the OpenAI Responses and Models routes and the Ollama generate and
tags routes with minimal valid replies. A test scripts the replies of a route
(status, JSON body, headers, or a connection reset), and reads back every
request with its headers and decoded JSON body.

    with StubServer() as stub:
        stub.script("POST", "/v1/responses", Reply.error(400, "Unsupported parameter: 'temperature'"),
                    Reply.openai_text("ok"))
        os.environ["OPENAI_BASE_URL"] = stub.openai_base_url
        ...
        assert stub.requests("POST", "/v1/responses")[1].json["model"] == "gpt-5"

Scripted replies are used once each, in order; when a route's script is
empty its default reply is served again. Unknown routes answer 404.
"""

from __future__ import annotations

import collections
import copy
import json
import socket
import struct
import threading
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable, Dict, List, Optional, Tuple, Union

__all__ = ["Reply", "Request", "StubServer", "openai_response_body", "ollama_generate_body"]


def openai_response_body(text: str = "hello", input_tokens: int = 12, output_tokens: int = 7,
                         model: str = "gpt-5") -> Dict[str, Any]:
    """A completed Responses object with one message item holding `text`."""
    return {
        "id": "resp_1",
        "object": "response",
        "created_at": 0,
        "status": "completed",
        "model": model,
        "output": [{
            "id": "msg_1",
            "type": "message",
            "role": "assistant",
            "status": "completed",
            "content": [{"type": "output_text", "text": text, "annotations": []}],
        }],
        "usage": {"input_tokens": input_tokens, "output_tokens": output_tokens,
                  "total_tokens": input_tokens + output_tokens},
    }


def ollama_generate_body(text: str = "hello", prompt_eval_count: int = 26, eval_count: int = 290,
                         model: str = "llama3:8b") -> Dict[str, Any]:
    return {"model": model, "created_at": "2024-01-01T00:00:00Z", "response": text, "done": True,
            "prompt_eval_count": prompt_eval_count, "eval_count": eval_count}


@dataclass
class Reply:
    """One scripted answer: a status with a JSON body and headers, or a reset."""

    status: int = 200
    body: Any = None
    headers: Dict[str, str] = field(default_factory=dict)
    reset: bool = False

    @classmethod
    def json(cls, body: Any, status: int = 200, **headers: str) -> "Reply":
        return cls(status, body, {k.replace("_", "-"): v for k, v in headers.items()})

    @classmethod
    def openai_text(cls, text: str = "hello", input_tokens: int = 12, output_tokens: int = 7) -> "Reply":
        return cls(200, openai_response_body(text, input_tokens, output_tokens))

    @classmethod
    def error(cls, status: int, message: str, *, param: Optional[str] = None, code: Optional[str] = None,
              type: str = "invalid_request_error", retry: bool = False) -> "Reply":
        """An OpenAI-shaped error; unless `retry`, tells the client not to retry it."""
        headers = {} if retry else {"x-should-retry": "false"}
        return cls(status, {"error": {"message": message, "type": type, "param": param, "code": code}}, headers)

    @classmethod
    def ollama_error(cls, status: int, message: str) -> "Reply":
        return cls(status, {"error": message})

    @classmethod
    def connection_reset(cls) -> "Reply":
        """Close the connection with a TCP reset before any reply is sent."""
        return cls(reset=True)


@dataclass
class Request:
    method: str
    path: str
    headers: Dict[str, str]
    body: bytes

    @property
    def json(self) -> Any:
        return json.loads(self.body) if self.body else None


Responder = Union[Reply, Callable[[Request], Reply]]

DEFAULT_REPLIES: Dict[Tuple[str, str], Reply] = {
    ("POST", "/v1/responses"): Reply(200, openai_response_body()),
    ("GET", "/v1/models"): Reply(200, {"object": "list", "data": [
        {"id": "gpt-5", "object": "model", "created": 0, "owned_by": "openai"}]}),
    ("POST", "/api/generate"): Reply(200, ollama_generate_body()),
    ("GET", "/api/tags"): Reply(200, {"models": [{
        "name": "llama3:8b", "model": "llama3:8b", "modified_at": "2024-01-01T00:00:00Z", "size": 1,
        "digest": "abc", "details": {"format": "gguf"}}]}),
}


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server: "_Server"

    def log_message(self, format: str, *args: Any) -> None:  # keep test output quiet
        pass

    def _serve(self) -> None:
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        path = self.path.split("?", 1)[0]
        request = Request(self.command, path, {k.lower(): v for k, v in self.headers.items()}, body)
        reply = self.server.stub._record_and_pick(request)
        if reply.reset:
            # SO_LINGER with a zero time-out turns close() into a TCP RST.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.close_connection = True
            self.connection.close()
            return
        payload = b"" if reply.body is None else json.dumps(reply.body).encode("utf-8")
        self.send_response(reply.status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(payload)))
        for name, value in reply.headers.items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(payload)

    do_GET = do_POST = do_PUT = do_DELETE = _serve


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, stub: "StubServer") -> None:
        self.stub = stub
        super().__init__(("127.0.0.1", 0), _Handler)


class StubServer:
    """Threaded loopback server; use as a context manager or start()/stop()."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._scripts: Dict[Tuple[str, str], collections.deque] = collections.defaultdict(collections.deque)
        self._defaults: Dict[Tuple[str, str], Responder] = dict(DEFAULT_REPLIES)
        self.log: List[Request] = []
        self._server: Optional[_Server] = None
        self._thread: Optional[threading.Thread] = None

    # -- life cycle -------------------------------------------------------
    def start(self) -> "StubServer":
        self._server = _Server(self)
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.05},
                                        name="stub-server", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            self._thread.join(timeout=5)
            self._server = None

    def __enter__(self) -> "StubServer":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    # -- addresses --------------------------------------------------------
    @property
    def port(self) -> int:
        assert self._server is not None, "server not started"
        return self._server.server_address[1]

    @property
    def host(self) -> str:
        """host:port, the form OLLAMA_HOST takes."""
        return f"127.0.0.1:{self.port}"

    @property
    def openai_base_url(self) -> str:
        return f"http://127.0.0.1:{self.port}/v1"

    # -- scripting --------------------------------------------------------
    def script(self, method: str, path: str, *replies: Responder) -> None:
        """Queue replies for a route; each is served once, in order."""
        with self._lock:
            self._scripts[(method.upper(), path)].extend(replies)

    def set_default(self, method: str, path: str, reply: Responder) -> None:
        """The reply served whenever the route's script is empty."""
        with self._lock:
            self._defaults[(method.upper(), path)] = reply

    def reset(self) -> None:
        """Forget scripts, replaced defaults and the request log."""
        with self._lock:
            self._scripts.clear()
            self._defaults = dict(DEFAULT_REPLIES)
            self.log.clear()

    def requests(self, method: Optional[str] = None, path: Optional[str] = None) -> List[Request]:
        with self._lock:
            return [r for r in self.log
                    if (method is None or r.method == method.upper()) and (path is None or r.path == path)]

    def _record_and_pick(self, request: Request) -> Reply:
        key = (request.method, request.path)
        with self._lock:
            self.log.append(request)
            queue = self._scripts.get(key)
            responder = queue.popleft() if queue else self._defaults.get(key)
        if responder is None:
            return Reply(404, {"error": f"no route {request.method} {request.path}"})
        reply = responder(request) if callable(responder) else responder
        return copy.deepcopy(reply)
