#!/usr/bin/python3
"""Stand-in for the OAuth provider, Google Drive and the analytics collector.

Prints "READY http://127.0.0.1:PORT" (a port the kernel picked) and serves until SIGTERM or
end of standard input. Client: "test-client-id" / "test-client-secret". Endpoints [names]:
  GET /authorize [authorize]: checks client_id, redirect_uri http://127.0.0.1:PORT/oauth2callback,
    response_type=code, S256 challenge, state; 302 to redirect_uri with code and state, or
    error=access_denied (body: the Location URL).  POST /token [token]: authorization_code (code,
    exact redirect_uri, S256 code_verifier) and refresh_token grants; client credentials checked.
  GET|POST /drive/v3/files [search|create]: folders by name, newest first, and with "'ID' in
    parents" only those in ID ('root': those created without parents; 404 for a missing folder);
    a folder created with parents [ID] is put in ID (404 when missing). GET /drive/v3/files with
    q="'ID' in parents and name='N' and trashed=false" and no folder type [lookup], md5Checksum
    per file when fields name it, 404 for a missing folder; POST /upload/drive/v3/files [upload]
    (multipart, parsed strictly, JPEG decoded, 404 when a parent is missing); all need a bearer
    token issued or registered here.
  POST /mp/collect [collect]: JSON event body, answers 204.  Control paths (/control/...):
  POST browse?url=U: plays the browser on a thread (GET U, follow one redirect, record the reply).
  POST consent?grant=0|1[&state=S]: refuse or grant; S replaces the client's state.
  POST script?endpoint=E&action=hang|close|status|invalid_grant|store_then_hang[&times=N]
    [&status=S][&body=B]: the next N requests of E hang, are closed unanswered, get S with B,
    get invalid_grant, or are served as usual (an upload is stored) and then left unanswered.
  POST delete-folder[?name=N]: deletes every folder (or those named N) and the files in them.
  POST outage?seconds=S: every Drive request answers 503 for the next S seconds.
  POST throttle?bytes_per_second=N: request bodies are read at that rate (0: at once).
  POST refresh-token?value=V, access-token?value=V: tokens to accept.  POST reset.
  GET count?endpoint=E: plain number.  GET report[?endpoint=E|browser]: requests received
    (method, path, query, form, json, headers) or the replies the browser got.  GET files: uploads
    with id, name, parents, md5Checksum, width, height, samples (RGB at the quadrant centres TL,
    TR, BL, BR) and quantization (the JPEG's tables, as lists).  GET folders: id, name, parents.
  report, files and folders take index=I (default -1) and field=a.b.0 to answer one value as text.
  GET jpeg?seed=N[&quality=Q]: a small JPEG (quality 85) whose colours depend on N.
  GET quantization?quality=Q: the tables PIL's own encoder uses at that quality, as in files.
"""
import base64, email, email.policy, hashlib, http.client, io, itertools, json, re, signal, sys
import threading, time, urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CLIENT_ID = "test-client-id"
CLIENT_SECRET = "test-client-secret"
REDIRECT_RE = re.compile(r"http://127\.0\.0\.1:\d{1,5}/oauth2callback\Z")
FOLDER_MIME = "application/vnd.google-apps.folder"
LITERAL = r"'((?:[^'\\]|\\.)*)'"  # a string of Drive's query language, \' and \\ escaped

lock = threading.Lock()
stopping = threading.Event()
serial = itertools.count(1)
state = {}


def reset():
    state.update(requests=[], browser=[], codes={}, refresh=set(), access=set(),
                 scripts={}, folders=[], files=[], consent=True, forged_state=None,
                 outage_until=0.0, bytes_per_second=0)


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


def literal(pattern, text):
    """The unescaped string literal where LITERAL stands in pattern, or None."""
    found = re.search(pattern.replace("LITERAL", LITERAL), text)
    return re.sub(r"\\(.)", r"\1", found.group(1)) if found else None


def drive_error(code, reason, message):
    return {"error": {"code": code, "message": message,
                      "errors": [{"domain": "global", "reason": reason, "message": message}]}}


def tables(image):
    return [list(t) for _, t in sorted(image.quantization.items())]


def sample_jpeg(seed, quality=85):
    from PIL import Image
    image = Image.new("RGB", (32, 24), ((seed * 70) % 256, (seed * 150) % 256, 90))
    image.paste((255 - (seed * 70) % 256, 40, (seed * 30) % 256), (0, 0, 16, 12))
    out = io.BytesIO()
    image.save(out, "JPEG", quality=quality)
    return out.getvalue()


def fetch(url):
    parts = urllib.parse.urlsplit(url)
    conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=10)
    conn.request("GET", parts.path + ("?" + parts.query if parts.query else ""))
    r = conn.getresponse()
    return r.status, r.getheader("Location"), r.read().decode("utf-8", "replace")


def browse(url):
    try:
        status, location, body = fetch(url)
        status, _, body = fetch(location) if status == 302 else (status, None, body)
    except OSError as error:
        status, body = 0, str(error)
    with lock:
        state["browser"].append({"status": status, "body": body})


def issue_tokens(with_refresh):
    tokens = {"access_token": "at-%d" % next(serial), "expires_in": 3600, "token_type": "Bearer"}
    state["access"].add(tokens["access_token"])
    if with_refresh:
        tokens["refresh_token"] = "rt/%d+x" % next(serial)
        state["refresh"].add(tokens["refresh_token"])
    return tokens


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    log_message = lambda self, *args: None  # noqa: E731 (quiet)

    def reply(self, status, body=b"", ctype="application/json", headers=()):
        body = json.dumps(body) if isinstance(body, (dict, list)) else body
        body = body.encode() if isinstance(body, str) else body
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def read_body(self):
        length, rate = int(self.headers.get("Content-Length", "0")), state["bytes_per_second"]
        if not rate:
            return self.rfile.read(length)
        chunks = []
        while length > 0:  # a slow link: one tenth of a second's worth at a time
            chunks.append(self.rfile.read(min(length, max(1, rate // 10))))
            length -= len(chunks[-1])
            time.sleep(0.1)
        return b"".join(chunks)

    def do_GET(self):
        body = self.read_body()
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
        route = {("GET", "/authorize"): "authorize", ("POST", "/token"): "token",
                 ("GET", "/drive/v3/files"): "search", ("POST", "/drive/v3/files"): "create",
                 ("POST", "/upload/drive/v3/files"): "upload", ("POST", "/mp/collect"): "collect"}
        endpoint = route.get((self.command, url.path))
        if endpoint == "search" and " in parents" in query.get("q", "") and FOLDER_MIME not in query["q"]:
            endpoint = "lookup"
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
        try:
            record["json"] = json.loads(body, strict=False) if ctype.startswith("application/json") else None
        except ValueError:
            record["json"] = None
        with lock:
            state["requests"].append(record)
            # An outage comes before the scripts, which wait for its end.
            down = endpoint in ("search", "lookup", "create", "upload") and time.monotonic() < state["outage_until"]
        if down:
            return self.reply(503, drive_error(503, "backendError", "Service unavailable"))
        with lock:
            script = state["scripts"].get(endpoint)
            action = script.pop(0) if script else None
        if action and action["action"] != "store_then_hang":
            return self.scripted(action)
        bearer = record["headers"]["Authorization"]
        with lock:
            if (endpoint in ("search", "lookup", "create", "upload")
                    and bearer[7:] not in state["access"]):
                return self.reply(401, drive_error(401, "authError", "Invalid Credentials"))
            status, answer, headers = getattr(self, "serve_" + endpoint)(record, query, body)
        if action:  # store_then_hang: served, but the answer never comes
            stopping.wait(120)
            self.close_connection = True
            return
        self.reply(status, answer, headers=headers)

    do_POST = do_GET

    def scripted(self, action):
        if action["action"] in ("hang", "close"):
            stopping.wait(120 if action["action"] == "hang" else 0)
            self.close_connection = True
        elif action["action"] == "invalid_grant":
            self.reply(400, {"error": "invalid_grant"})
        else:
            self.reply(int(action.get("status", "500")), action.get("body", ""))

    def control(self, name, query):
        if name == "browse":
            threading.Thread(target=browse, args=(query["url"],), daemon=True).start()
        elif name == "consent":
            state["consent"] = query.get("grant") == "1"
            state["forged_state"] = query.get("state")
        elif name == "script":
            times = int(query.get("times", "1")) if "action" in query else 0
            state["scripts"].setdefault(query["endpoint"], []).extend([query] * times)
        elif name in ("refresh-token", "access-token"):
            state[name.split("-")[0]].add(query["value"])
        elif name == "reset":
            reset()
        elif name == "outage":
            state["outage_until"] = time.monotonic() + float(query["seconds"])
        elif name == "throttle":
            state["bytes_per_second"] = int(query["bytes_per_second"])
        elif name == "delete-folder":
            gone = {f["id"] for f in state["folders"] if query.get("name", f["name"]) == f["name"]}
            state["folders"] = [f for f in state["folders"] if f["id"] not in gone]
            state["files"] = [f for f in state["files"] if not gone.intersection(f["parents"])]
        elif name == "jpeg":
            jpeg = sample_jpeg(int(query.get("seed", "0")), int(query.get("quality", "85")))
            return self.reply(200, jpeg, "image/jpeg")
        elif name == "quantization":
            from PIL import Image
            jpeg = io.BytesIO(sample_jpeg(0, int(query.get("quality", "85"))))
            return self.reply(200, tables(Image.open(jpeg)), "text/plain")
        elif name in ("count", "report", "files", "folders"):
            requests = [r for r in state["requests"] if query.get("endpoint") in (None, r["endpoint"])]
            text = {"count": str(len(requests)), "files": pick(state["files"], query),
                    "folders": pick(state["folders"], query),
                    "report": pick(state["browser"] if query.get("endpoint") == "browser" else requests
                                   if "endpoint" in query else {"requests": requests}, query)}
            return self.reply(200, text[name], "text/plain")
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
                    or challenge != base64.urlsafe_b64encode(hashlib.sha256(
                        form.get("code_verifier", "").encode()).digest()).rstrip(b"=").decode()):
                return 400, {"error": "invalid_grant"}, ()
            return 200, issue_tokens(True), ()
        if form.get("grant_type") == "refresh_token":
            if form.get("refresh_token") not in state["refresh"]:
                return 400, {"error": "invalid_grant"}, ()
            return 200, issue_tokens(False), ()
        return 400, {"error": "unsupported_grant_type"}, ()

    def serve_search(self, record, query, body):
        q = query.get("q", "")
        wanted, parent = literal("name=LITERAL", q), literal("LITERAL in parents", q)
        if parent not in (None, "root") and parent not in [f["id"] for f in state["folders"]]:
            return 404, drive_error(404, "notFound", "File not found: %s." % parent), ()
        files = [{"id": f["id"], "name": f["name"]} for f in reversed(state["folders"])
                 if f["name"] == wanted and "mimeType='%s'" % FOLDER_MIME in q and "trashed=false" in q
                 and (parent is None or f["parents"] == ([] if parent == "root" else [parent]))]
        return 200, {"files": files}, ()

    def serve_lookup(self, record, query, body):
        q = query.get("q", "")
        parent, name = literal("LITERAL in parents", q), literal("name=LITERAL", q)
        if parent not in [f["id"] for f in state["folders"]]:
            return 404, drive_error(404, "notFound", "File not found: %s." % parent), ()
        fields = ["id"] + (["md5Checksum"] if "md5Checksum" in query.get("fields", "") else [])
        files = [{k: f[k] for k in fields} for f in state["files"]
                 if parent in f["parents"] and f["name"] == name and "trashed=false" in q]
        return 200, {"files": files}, ()

    def serve_create(self, record, query, body):
        meta = record.get("json")
        if not isinstance(meta, dict) or "name" not in meta:
            return 400, {"error": {"code": 400}}, ()
        parents = meta.get("parents", [])
        missing = [p for p in parents if p not in [f["id"] for f in state["folders"]]]
        if missing:
            return 404, drive_error(404, "notFound", "File not found: %s." % missing[0]), ()
        folder = {"id": "folder-%d" % next(serial), "name": meta["name"], "parents": parents}
        state["folders"] += [folder] if meta.get("mimeType") == FOLDER_MIME else []
        return 200, {"id": folder["id"], "name": folder["name"]}, ()

    def serve_upload(self, record, query, body):
        from PIL import Image  # only here: the other endpoints start faster without it
        head = b"Content-Type: " + self.headers.get("Content-Type", "").encode() + b"\r\n\r\n"
        message = email.message_from_bytes(head + body, policy=email.policy.HTTP)
        parts = list(message.iter_parts()) if message.is_multipart() else []
        if (message.get_content_type() != "multipart/related" or len(parts) != 2
                or query.get("uploadType") != "multipart"
                or message.defects or any(p.defects for p in parts)
                or parts[0].get_content_type() != "application/json"
                or parts[1].get_content_type() != "image/jpeg"):
            return 400, {"error": {"message": "malformed multipart body"}}, ()
        try:
            meta = json.loads(parts[0].get_payload(decode=True))
            jpeg = parts[1].get_payload(decode=True)
            decoded = Image.open(io.BytesIO(jpeg), formats=["JPEG"])
            image = decoded.convert("RGB")
        except (ValueError, OSError) as error:
            return 400, {"error": {"message": str(error)}}, ()
        folders = [f["id"] for f in state["folders"]]
        missing = [p for p in meta.get("parents", []) if p not in folders]
        if missing:
            return 404, drive_error(404, "notFound", "File not found: %s." % missing[0]), ()
        w, h = image.size
        samples = [list(image.getpixel((x, y))) for y in (h // 4, 3 * h // 4)
                   for x in (w // 4, 3 * w // 4)]
        uploaded = {"id": "file-%d" % next(serial), "name": meta.get("name"),
                    "parents": meta.get("parents", []), "width": w, "height": h,
                    "samples": samples, "md5Checksum": hashlib.md5(jpeg).hexdigest(),
                    "quantization": tables(decoded)}
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
    stopping.wait()
    server.shutdown()


if __name__ == "__main__":
    main()
