"""Throw-away certificate authorities and code-signing publishers, made with
openssl at test time so that nothing secret is ever committed.

    ca = make_authority(folder, "Zimlex Test Root")
    publisher = make_publisher(folder, "Zimlex Test Publisher", ca)
    sign(program, signed, publisher)          # scripts/sign, with the password
    build_pinned(folder, [certificate, ...])  # the updater pinned to these publishers
    publishers, pinned = test_release(build_dir)  # both, made once per build
    verify(signed, ca)                        # osslsigncode verify -CAfile
    with time_stamp_server(folder, ca) as url: ...  # an RFC 3161 server on localhost
"""
import contextlib
import dataclasses
import fcntl
import hashlib
import http.server
import json
import os
import re
import secrets
import subprocess
import tempfile
import threading
from pathlib import Path

SIGN_SCRIPT = Path(__file__).resolve().parent.parent / "scripts" / "sign"
# Long enough for any test run, short enough that a leaked key soon means nothing.
DAYS = 2


@dataclasses.dataclass(frozen=True)
class Authority:
    name: str
    certificate: Path  # PEM, what a verifier trusts
    key: Path


@dataclasses.dataclass(frozen=True)
class Publisher:
    name: str
    certificate: Path  # PEM
    key: Path
    pfx: Path  # certificate, key and the authority's certificate, under `password`
    password: str
    authority: Authority


def _slug(name):
    return re.sub(r"[^a-z0-9]+", "-", name.lower()).strip("-")


def _openssl(*args, stdin=None):
    result = subprocess.run(["openssl", *map(str, args)], input=stdin, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"openssl {args[0]} failed: {result.stderr.strip()}")
    return result.stdout


def make_authority(folder, common_name):
    """A self-signed root that may only sign certificates."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    stem = folder / _slug(common_name)
    authority = Authority(common_name, stem.with_suffix(".crt"), stem.with_suffix(".key"))
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", DAYS,
             "-subj", f"/CN={common_name}", "-keyout", authority.key,
             "-out", authority.certificate,
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    return authority


def _issue(folder, common_name, authority, extensions):
    """A key and a certificate for `common_name`, signed by `authority`."""
    stem = Path(folder) / _slug(common_name)
    key, request = stem.with_suffix(".key"), stem.with_suffix(".csr")
    certificate, extension_file = stem.with_suffix(".crt"), stem.with_suffix(".ext")
    _openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN={common_name}",
             "-keyout", key, "-out", request)
    extension_file.write_text("\n".join(extensions) + "\n")
    _openssl("x509", "-req", "-sha256", "-days", DAYS, "-in", request, "-CA",
             authority.certificate, "-CAkey", authority.key, "-set_serial",
             f"0x{secrets.token_hex(8)}", "-extfile", extension_file, "-out", certificate)
    request.unlink()
    extension_file.unlink()
    return key, certificate


def make_publisher(folder, common_name, ca=None, password=None):
    """A code-signing certificate for `common_name` packed in a PFX.

    Without `ca` the publisher gets a root of its own, "<common_name> Root".
    Without `password` a random one is chosen; "" gives a PFX without one."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    authority = ca or make_authority(folder, f"{common_name} Root")
    key, certificate = _issue(folder, common_name, authority, [
        "basicConstraints=critical,CA:FALSE",
        "keyUsage=critical,digitalSignature",
        "extendedKeyUsage=codeSigning",
    ])
    password = secrets.token_urlsafe(12) if password is None else password
    pfx = certificate.with_suffix(".pfx")
    _openssl("pkcs12", "-export", "-inkey", key, "-in", certificate, "-certfile",
             authority.certificate, "-name", common_name, "-passout", "stdin", "-out", pfx,
             stdin=password + "\n")
    return Publisher(common_name, certificate, key, pfx, password, authority)


@contextlib.contextmanager
def time_stamp_server(folder, ca):
    """An RFC 3161 time-stamp server on localhost, answered by `openssl ts` with
    a time-stamping certificate from `ca`; yields its URL."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    key, certificate = _issue(folder, f"{ca.name} Time Stamps", ca, [
        "basicConstraints=critical,CA:FALSE",
        "keyUsage=critical,digitalSignature",
        "extendedKeyUsage=critical,timeStamping",
    ])
    serial = folder / "time-stamp-serial"
    serial.write_text("01\n")
    config = folder / "time-stamp.cnf"
    config.write_text("[tsa]\ndefault_tsa = zimlex\n[zimlex]\n"
                      f"serial = {serial}\ncrypto_device = builtin\nsigner_digest = sha256\n"
                      "default_policy = 1.2.3.4.1\ndigests = sha256, sha384, sha512\n"
                      "ess_cert_id_alg = sha256\n")

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):  # noqa: N802 (the name http.server calls)
            query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
            with tempfile.TemporaryDirectory(dir=folder) as scratch:
                request, reply = Path(scratch) / "request.tsq", Path(scratch) / "reply.tsr"
                request.write_bytes(query)
                made = subprocess.run(
                    ["openssl", "ts", "-reply", "-config", str(config), "-queryfile",
                     str(request), "-signer", str(certificate), "-inkey", str(key), "-chain",
                     str(ca.certificate), "-out", str(reply)],
                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL).returncode == 0
                answer = reply.read_bytes() if made and reply.exists() else b""
            self.send_response(200 if answer else 500)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(answer)))
            self.end_headers()
            self.wfile.write(answer)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}/"
    finally:
        server.shutdown()
        server.server_close()
        thread.join()


def sign(program, signed, publisher, password=None, timestamp_url=None, updater_only=False):
    """Runs scripts/sign; answers its CompletedProcess with text output."""
    env = dict(os.environ)
    env.pop("ZIMLEX_TIMESTAMP_URL", None)
    env["ZIMLEX_SIGN_PASSWORD"] = publisher.password if password is None else password
    if timestamp_url is not None:
        env["ZIMLEX_TIMESTAMP_URL"] = timestamp_url
    options = ["--updater-only"] if updater_only else []
    return subprocess.run([str(SIGN_SCRIPT), *options, str(program), str(signed),
                           str(publisher.pfx)], env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def build_pinned(folder, preset, certificates):
    """The updater from this source tree, configured with `preset` into `folder`
    to pin the publishers' `certificates`, as a vendor builds a release; answers
    its path."""
    source = SIGN_SCRIPT.parent.parent
    for command in (["cmake", "--preset", preset, "-B", str(folder), "-DBUILD_TESTING=OFF",
                     "-DZIMLEX_PUBLISHER_CERTIFICATES=" + ";".join(map(str, certificates))],
                    ["cmake", "--build", str(folder), "--target", "ZimlexUpdate"]):
        result = subprocess.run(command, cwd=source, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if result.returncode != 0:
            raise RuntimeError(f"{' '.join(command[:2])} failed:\n{result.stdout}")
    return Path(folder) / "ZimlexUpdate.exe"


@dataclasses.dataclass(frozen=True)
class Verification:
    ok: bool
    signer: str  # common name of the signing certificate
    digest: str  # message digest algorithm, e.g. "SHA256"
    timestamped: bool  # carries a time stamp that verified
    output: str


def verify(signed, authority):
    """osslsigncode verify with `authority` as the only trusted root, for the
    signature and for its time stamp."""
    result = subprocess.run(
        ["osslsigncode", "verify", "-CAfile", str(authority.certificate), "-TSA-CAfile",
         str(authority.certificate), "-in", str(signed)],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    output = result.stdout
    # The first subject after "Signer's certificate:" is the signer's own.
    signer = re.search(r"Signer's certificate:.*?Subject: /CN=([^/\n]*)", output, re.S)
    digest = re.search(r"Message digest algorithm\s*: (\S+)", output)
    return Verification(
        ok=result.returncode == 0 and "Signature verification: ok" in output,
        signer=signer.group(1) if signer else "",
        digest=digest.group(1) if digest else "",
        timestamped="Timestamp Server Signature verification: ok" in output,
        output=output)


# The tests' publishers: the vendor, the vendor again with a renewed certificate
# from another root, the vendor's next key, and somebody else.
TEST_PUBLISHERS = {"vendor": "Zimlex Vendor", "renewed": "Zimlex Vendor",
                   "next": "Zimlex Vendor", "other": "Someone Else"}


def test_release(build_dir, preset):
    """The tests' publishers, and the build's updater built to pin the vendor's
    two keys (vendor and next), as a release is: made once per build of the
    program, whichever test or check asks first. Answers (publishers by key,
    path of the pinned program)."""
    build_dir = Path(build_dir).resolve()
    folder = build_dir / "release"
    folder.mkdir(parents=True, exist_ok=True)
    stamp = hashlib.sha256((build_dir / "ZimlexUpdate.exe").read_bytes()).hexdigest()
    made = folder / "publishers.json"
    with open(folder / "lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        done = folder / "done"
        if not done.exists() or done.read_text() != stamp:
            publishers = {key: make_publisher(folder / key, name)
                          for key, name in TEST_PUBLISHERS.items()}
            made.write_text(json.dumps({key: dataclasses.asdict(publisher)
                                        for key, publisher in publishers.items()}, default=str))
            build_pinned(folder / "pinned-build", preset,
                         [publishers["vendor"].certificate, publishers["next"].certificate])
            done.write_text(stamp)
        fields = json.loads(made.read_text())
    publishers = {}
    for key, field in fields.items():
        authority = Authority(field["authority"]["name"], Path(field["authority"]["certificate"]),
                              Path(field["authority"]["key"]))
        publishers[key] = Publisher(field["name"], Path(field["certificate"]), Path(field["key"]),
                                    Path(field["pfx"]), field["password"], authority)
    return publishers, folder / "pinned-build" / "ZimlexUpdate.exe"


if __name__ == "__main__":
    # signing.py test-release BUILD_DIR PRESET: prints the pinned program, then the
    # certificates it pins, a line each.
    import sys
    found, program = test_release(sys.argv[2], sys.argv[3])
    print("\n".join(map(str, [program, found["vendor"].certificate, found["next"].certificate])))
