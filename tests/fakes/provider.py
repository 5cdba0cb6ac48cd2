#!/usr/bin/python3
"""Stand-in for the OAuth provider, Google Drive and the analytics collector.

Listens on 127.0.0.1 on a port the kernel picks, prints one line
"READY http://127.0.0.1:PORT" and serves until SIGTERM or end of standard input.
Client: id "test-client-id", secret "test-client-secret".

Service paths (endpoint names in brackets, used by the control paths):
  GET  /authorize               [authorize] consent page: checks client_id, a redirect_uri
                                of the form http://127.0.0.1:PORT/oauth2callback,
                                response_type=code, code_challenge_method=S256 and state;
                                answers 302 to redirect_uri with code and state (or
                                error=access_denied); the body repeats the Location URL.
  POST /token                   [token] authorization_code grant (code, exact redirect_uri,
                                code_verifier against the S256 challenge) and
                                refresh_token grant; client credentials checked.
  GET  /drive/v3/files          [search] folder search by name='...' in q.
  POST /drive/v3/files          [create] folder creation (JSON body).
  POST /upload/drive/v3/files   [upload] uploadType=multipart, parsed strictly, JPEG decoded.
  POST /mp/collect              [collect] analytics events (JSON body); answers 204.
Drive paths need "Authorization: Bearer T" with a token this provider issued.

Control paths:
  POST /control/browse?url=U    plays the browser on a thread of its own: GETs U and follows
                                one redirect; the reply is recorded under "browser".
  POST /control/consent?grant=0|1[&state=S]  refuse or grant; S replaces the client's state.
  POST /control/script?endpoint=E&action=A[&times=N][&status=S][&body=B]
                                the next N (default 1) requests of E: A is hang (no answer
                                until the client gives up), close (connection closed without
                                answer), status (S with body B) or invalid_grant.
  POST /control/refresh-token?value=V, /control/access-token?value=V  tokens to accept.
  GET  /control/report[?endpoint=E]  requests received (method, path, query, form, json,
                                headers) and the browser's replies, as JSON.
  GET  /control/count?endpoint=E     number of requests of E, plain decimal.
  GET  /control/files           uploaded files: name, parents, width, height, samples (RGB at
                                the centres of the four quadrants: TL, TR, BL, BR).
  POST /control/reset           forgets everything but the listening socket.
  report and files take index=I (default -1: the last) and field=a.b.0 to answer one value
  as plain text instead.
"""
import base64
import email
import email.policy
import hashlib
import http.client
import io
import itertools
import json
import re
import signal
import sys
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CLIENT_ID = "test-client-id"
CLIENT_SECRET = "test-client-secret"
REDIRECT_RE = re.compile(r"http://127\.0\.0\.1:\d{1,5}/oauth2callback\Z")
FOLDER_MIME = "application/vnd.google-apps.folder"

lock = threading.Lock()
stopping = threading.Event()
serial = itertools.count(1)
state = {}


def reset():
    state.update(requests=[], browser=[], codes={}, refresh=set(), access=set(),
                 scripts={}, folders=[], files=[], consent=True, forged_state=None)


def pick(value, query):
    """The whole value as JSON, or one element's field as plain text ("" when absent)."""
    if "field" not in query:
        return json.dumps(value)
    try:
        value = value[int(query.get("index", "-1"))]
        for key in query["field"].split("."):
            value = value[int(key)] if isinstance(value, list) else value[key]
    except (LookupError, ValueError, TypeError):
        return ""
    return value if isinstance(value, str) else json.dumps(value)


def fetch(url):
    parts = urllib.parse.urlsplit(url)
    conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=10)
    try:
        conn.request("GET", parts.path + ("?" + parts.query if parts.query else ""))
        reply = conn.getresponse()
        return reply.status, reply.getheader("Location"), reply.read().decode("utf-8", "replace")
    finally:
        conn.close()


def browse(url):
    try:
        status, location, body = fetch(url)
        if status == 302:
            status, _, body = fetch(location)
        outcome = {"status": status, "body": body}
    except OSError as error:
        outcome = {"status": 0, "body": str(error)}
    with lock:
        state["browser"].append(outcome)


def challenge_of(verifier):
    digest = hashlib.sha256(verifier.encode()).digest()
    return base64.urlsafe_b64encode(digest).rstrip(b"=").decode()


def issue_tokens(with_refresh):
    tokens = {"access_token": "at-%d" % next(serial), "expires_in": 3600, "token_type": "Bearer"}
    state["access"].add(tokens["access_token"])
    if with_refresh:
        tokens["refresh_token"] = "rt/%d+x" % next(serial)
        state["refresh"].add(tokens["refresh_token"])
    return tokens


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, status, body=b"", ctype="application/json", headers=()):
        if isinstance(body, (dict, list)):
            body = json.dumps(body)
        if isinstance(body, str):
            body = body.encode()
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        self.handle_any(b"")

    def do_POST(self):
        self.handle_any(self.rfile.read(int(self.headers.get("Content-Length", "0"))))

    def handle_any(self, body):
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
        route = {("GET", "/authorize"): "authorize", ("POST", "/token"): "token",
                 ("GET", "/drive/v3/files"): "search", ("POST", "/drive/v3/files"): "create",
                 ("POST", "/upload/drive/v3/files"): "upload", ("POST", "/mp/collect"): "collect"}
        endpoint = route.get((self.command, url.path))
        if url.path.startswith("/control/"):
            with lock:
                return self.control(url.path[len("/control/"):], query)
        if endpoint is None:
            return self.reply(404, {"error": "not_found"})
        record = {"endpoint": endpoint, "method": self.command, "path": url.path, "query": query,
                  "headers": {k: self.headers.get(k, "") for k in ("Authorization", "Content-Type")}}
        ctype = self.headers.get("Content-Type", "")
        if ctype.startswith("application/x-www-form-urlencoded"):
            record["form"] = dict(urllib.parse.parse_qsl(body.decode(), keep_blank_values=True))
        if ctype.startswith("application/json"):
            try:
                record["json"] = json.loads(body, strict=False)
            except ValueError:
                record["json"] = None
        with lock:
            state["requests"].append(record)
            script = state["scripts"].get(endpoint)
            action = script.pop(0) if script else None
        if action:
            return self.scripted(action)
        with lock:
            status, answer, headers = getattr(self, "serve_" + endpoint)(record, query, body)
        self.reply(status, answer, headers=headers)

    def scripted(self, action):
        if action["action"] == "hang":
            stopping.wait(120)
        if action["action"] in ("hang", "close"):
            self.close_connection = True
            return None
        if action["action"] == "invalid_grant":
            return self.reply(400, {"error": "invalid_grant"})
        return self.reply(int(action.get("status", "500")), action.get("body", ""))

    def control(self, name, query):
        if name == "browse":
            threading.Thread(target=browse, args=(query["url"],), daemon=True).start()
        elif name == "consent":
            state["consent"] = query.get("grant") == "1"
            state["forged_state"] = query.get("state")
        elif name == "script":
            times = int(query.get("times", "1"))
            state["scripts"].setdefault(query["endpoint"], []).extend([query] * times)
        elif name in ("refresh-token", "access-token"):
            state[name.split("-")[0]].add(query["value"])
        elif name == "reset":
            reset()
        elif name == "count":
            count = sum(r["endpoint"] == query["endpoint"] for r in state["requests"])
            return self.reply(200, str(count), "text/plain")
        elif name == "report":
            requests = [r for r in state["requests"]
                        if query.get("endpoint") in (None, r["endpoint"])]
            value = requests if "endpoint" in query else {"requests": requests,
                                                          "browser": state["browser"]}
            return self.reply(200, pick(value, query), "text/plain")
        elif name == "files":
            return self.reply(200, pick(state["files"], query), "text/plain")
        else:
            return self.reply(404, "unknown control path", "text/plain")
        return self.reply(204)

    def serve_authorize(self, record, query, body):
        redirect = query.get("redirect_uri", "")
        if (query.get("client_id") != CLIENT_ID or not REDIRECT_RE.match(redirect)
                or query.get("response_type") != "code" or not query.get("state")
                or query.get("code_challenge_method") != "S256"
                or not query.get("code_challenge")):
            return 400, "invalid authorization request", ()
        answer = {"state": state["forged_state"] or query["state"]}
        if state["consent"]:
            # A slash and a plus, as real codes carry: the client must decode them.
            answer["code"] = "4/c+%d" % next(serial)
            state["codes"][answer["code"]] = (redirect, query["code_challenge"])
        else:
            answer["error"] = "access_denied"
        location = redirect + "?" + urllib.parse.urlencode(answer)
        return 302, location, (("Location", location),)

    def serve_token(self, record, query, body):
        form = record.get("form", {})
        if form.get("client_id") != CLIENT_ID or form.get("client_secret") != CLIENT_SECRET:
            return 401, {"error": "invalid_client"}, ()
        if form.get("grant_type") == "authorization_code":
            redirect, challenge = state["codes"].pop(form.get("code"), (None, None))
            if (redirect is None or form.get("redirect_uri") != redirect
                    or challenge_of(form.get("code_verifier", "")) != challenge):
                return 400, {"error": "invalid_grant"}, ()
            return 200, issue_tokens(True), ()
        if form.get("grant_type") == "refresh_token":
            if form.get("refresh_token") not in state["refresh"]:
                return 400, {"error": "invalid_grant"}, ()
            return 200, issue_tokens(False), ()
        return 400, {"error": "unsupported_grant_type"}, ()

    def authorized(self, record):
        bearer = record["headers"]["Authorization"]
        return bearer.startswith("Bearer ") and bearer[len("Bearer "):] in state["access"]

    def serve_search(self, record, query, body):
        if not self.authorized(record):
            return 401, {"error": {"code": 401}}, ()
        wanted = re.search(r"name='([^']*)'", query.get("q", ""))
        files = [f for f in state["folders"] if wanted and f["name"] == wanted.group(1)
                 and "mimeType='%s'" % FOLDER_MIME in query["q"] and "trashed=false" in query["q"]]
        return 200, {"files": files}, ()

    def serve_create(self, record, query, body):
        meta = record.get("json")
        if not self.authorized(record) or not isinstance(meta, dict) or "name" not in meta:
            return 400, {"error": {"code": 400}}, ()
        folder = {"id": "folder-%d" % next(serial), "name": meta["name"]}
        if meta.get("mimeType") == FOLDER_MIME:
            state["folders"].append(folder)
        return 200, folder, ()

    def serve_upload(self, record, query, body):
        from PIL import Image  # only here: the other endpoints start faster without it
        if not self.authorized(record) or query.get("uploadType") != "multipart":
            return 401, {"error": {"code": 401}}, ()
        head = b"Content-Type: " + self.headers.get("Content-Type", "").encode() + b"\r\n\r\n"
        message = email.message_from_bytes(head + body, policy=email.policy.HTTP)
        parts = list(message.iter_parts()) if message.is_multipart() else []
        if (message.get_content_type() != "multipart/related" or len(parts) != 2
                or message.defects or any(p.defects for p in parts)
                or parts[0].get_content_type() != "application/json"
                or parts[1].get_content_type() != "image/jpeg"):
            return 400, {"error": {"message": "malformed multipart body"}}, ()
        try:
            meta = json.loads(parts[0].get_payload(decode=True))
            image = Image.open(io.BytesIO(parts[1].get_payload(decode=True)))
            if image.format != "JPEG":
                raise ValueError("not a JPEG")
            image = image.convert("RGB")
        except (ValueError, OSError) as error:
            return 400, {"error": {"message": str(error)}}, ()
        w, h = image.size
        samples = [list(image.getpixel((x, y))) for y in (h // 4, 3 * h // 4)
                   for x in (w // 4, 3 * w // 4)]
        uploaded = {"id": "file-%d" % next(serial), "name": meta.get("name"),
                    "parents": meta.get("parents", []), "width": w, "height": h,
                    "samples": samples}
        state["files"].append(uploaded)
        return 200, {"id": uploaded["id"], "name": uploaded["name"]}, ()

    def serve_collect(self, record, query, body):
        if record.get("json") is None or not query.get("measurement_id"):
            return 400, {"error": "bad event"}, ()
        return 204, b"", ()


def main():
    reset()
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    signal.signal(signal.SIGTERM, lambda *args: stopping.set())
    threading.Thread(target=lambda: (sys.stdin.read(), stopping.set()), daemon=True).start()
    print("READY http://127.0.0.1:%d" % server.server_address[1], flush=True)
    while not stopping.wait(1):
        pass
    server.shutdown()


if __name__ == "__main__":
    main()
