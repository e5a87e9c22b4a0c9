"""ClickHouse servers from Debian's package (clickhouse-server and
clickhouse-client), run as ordinary processes for the tests and the
benchmark: each with a configuration, data and logs of its own in a folder
it is given, listening on free ports of 127.0.0.1 only.

The 18.16 server runs as any user, root included (it does not compare its
user with the data folder's owner, as later series do), so it runs as
whoever runs the tests; the package's service would run it as its user
clickhouse."""

import contextlib
import os
import re
import signal
import socket
import subprocess
import time
from pathlib import Path

SERVER = "/usr/sbin/clickhouse-server"
CLIENT = "clickhouse-client"
PACKAGE = "clickhouse-server"
USERS = "/etc/clickhouse-server/users.xml"  # the package's: user default, no password

CONFIG = """<?xml version="1.0"?>
<yandex>
    <logger>
        <level>information</level>
        <log>{folder}/server.log</log>
        <errorlog>{folder}/server.err.log</errorlog>
        <size>100M</size>
        <count>1</count>
    </logger>
    <listen_host>127.0.0.1</listen_host>
    <tcp_port>{tcp_port}</tcp_port>
    <http_port>{http_port}</http_port>
    <interserver_http_port>{interserver_port}</interserver_http_port>
    <path>{folder}/data/</path>
    <tmp_path>{folder}/data/tmp/</tmp_path>
    <user_files_path>{folder}/data/user_files/</user_files_path>
    <format_schema_path>{folder}/data/format_schemas/</format_schema_path>
    <users_config>{users}</users_config>
    <default_profile>default</default_profile>
    <default_database>default</default_database>
    <timezone>{timezone}</timezone>
    <mark_cache_size>268435456</mark_cache_size>
</yandex>
"""


PAGE = Path(__file__).resolve().parents[2] / "docs" / "clickhouse.md"


class Page:
    """docs/clickhouse.md's code blocks, as the page shows them: SQL by the
    title on its first line, the nearest-rank lines, the cluster's
    configuration and the load commands."""

    def __init__(self, path=PAGE):
        blocks = re.findall(r"^```(\w+)\n(.*?)^```", Path(path).read_text(), re.M | re.S)
        self.sql = {b.split("\n", 1)[0][3:]: b for kind, b in blocks
                    if kind == "sql" and b.startswith("-- ")}
        [self.nearest_rank] = [b for kind, b in blocks
                               if kind == "sql" and not b.startswith("-- ")]
        [self.cluster] = [b for kind, b in blocks if kind == "xml"]
        [self.load] = [b for kind, b in blocks if kind == "sh"]
        [self.insert] = re.findall(r'--query "(INSERT [^"]*)"', self.load)[:1]

    def with_nearest_rank(self, query):
        """A query with the nearest-rank lines in place of quantilesExactIf."""
        [line] = [line for line in query.splitlines(True) if "quantilesExactIf" in line]
        return query.replace(line, self.nearest_rank)


class ServerError(RuntimeError):
    """A server that did not start, or a statement it refused."""


def _installed(package):
    proc = subprocess.run(["dpkg-query", "-W", "-f=${db:Status-Status}", package],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return proc.returncode == 0 and proc.stdout == "installed"


def _in_apt(package):
    proc = subprocess.run(["apt-cache", "policy", package], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True)
    candidates = [line.split(":", 1)[1].strip() for line in proc.stdout.splitlines()
                  if line.strip().startswith("Candidate:")]
    return bool(candidates) and candidates[0] != "(none)"


def availability():
    """(usable, why): usable where both packages are installed; otherwise
    why says what is missing, and usable is None where this release's apt
    has no clickhouse-server package at all (Debian 13 and later), False
    where apt has it but it is not installed (or apt knows no packages)."""
    if _installed(PACKAGE) and _installed(CLIENT):
        return True, ""
    codename = ""
    try:
        for line in Path("/etc/os-release").read_text().splitlines():
            if line.startswith("VERSION_CODENAME="):
                codename = line.split("=", 1)[1].strip('"')
    except OSError:
        pass
    if _in_apt(PACKAGE):
        return False, ("%s and %s are in this release's apt but not installed "
                       "(scripts/test.sh installs them)" % (PACKAGE, CLIENT))
    if not _in_apt("tshark"):
        return False, "apt knows no packages here (run apt-get update): cannot tell"
    return None, "no %s package in Debian %s" % (PACKAGE, codename or "(this release)")


def free_ports(count):
    """count distinct free TCP ports of 127.0.0.1 (free when asked)."""
    sockets = []
    try:
        for _ in range(count):
            s = socket.socket()
            s.bind(("127.0.0.1", 0))
            sockets.append(s)
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


class Server:
    """One clickhouse-server in folder/name. config_d: {file name: XML} put
    into config.d/ beside its configuration, as /etc/clickhouse-server/
    config.d/ is read."""

    def __init__(self, folder, name, ports, config_d=None, timezone="UTC"):
        self.folder = Path(folder) / name
        (self.folder / "config.d").mkdir(parents=True)
        self.tcp_port, http_port, interserver_port = ports
        self.config = self.folder / "config.xml"
        self.config.write_text(CONFIG.format(folder=self.folder, tcp_port=self.tcp_port,
                                             http_port=http_port,
                                             interserver_port=interserver_port, users=USERS,
                                             timezone=timezone))
        for file_name, text in (config_d or {}).items():
            (self.folder / "config.d" / file_name).write_text(text)
        self.proc = None

    def start(self, timeout=60):
        """Starts the server and waits until it answers; a ServerError with
        its log's tail where it exits or does not answer within timeout s."""
        with open(self.folder / "stdout.log", "wb") as out:
            self.proc = subprocess.Popen([SERVER, "--config-file=%s" % self.config],
                                         stdin=subprocess.DEVNULL, stdout=out,
                                         stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + timeout
        while True:
            if self.proc.poll() is not None:
                raise ServerError("clickhouse-server exited %d at start:\n%s"
                                  % (self.proc.returncode, self.log_tail()))
            try:
                if self.client(["--query", "SELECT 1"], timeout=5).returncode == 0:
                    return
            except subprocess.TimeoutExpired:
                pass
            if time.monotonic() > deadline:
                self.stop()
                raise ServerError("clickhouse-server did not answer within %d s:\n%s"
                                  % (timeout, self.log_tail()))
            time.sleep(0.2)

    def client_args(self):
        return [CLIENT, "--host", "127.0.0.1", "--port", str(self.tcp_port)]

    def client(self, args, timeout=600, **kwargs):
        kwargs.setdefault("stdout", subprocess.PIPE)
        kwargs.setdefault("stderr", subprocess.PIPE)
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        return subprocess.run(self.client_args() + args, timeout=timeout, **kwargs)

    def query(self, sql, timeout=600):
        """Runs one statement or several (separated by ';'): its output as
        TabSeparatedWithNames; a ServerError where it fails."""
        proc = self.client(["--multiquery", "--format", "TabSeparatedWithNames",
                            "--query", sql], timeout=timeout, text=True)
        if proc.returncode != 0:
            raise ServerError("%s\nfailed (%d): %s" % (sql, proc.returncode, proc.stderr))
        return proc.stdout

    def rows(self, sql, timeout=600):
        """A query's rows as dicts of text, by column name."""
        lines = self.query(sql, timeout).splitlines()
        names = lines[0].split("\t") if lines else []
        return [dict(zip(names, line.split("\t"))) for line in lines[1:]]

    def stop(self):
        if self.proc is None or self.proc.poll() is not None:
            return
        try:
            os.killpg(self.proc.pid, signal.SIGTERM)
            self.proc.wait(30)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        except ProcessLookupError:
            self.proc.wait()

    def log_tail(self, lines=40):
        text = ""
        for name in ("stdout.log", "server.err.log", "server.log"):
            path = self.folder / name
            if path.exists():
                tail = path.read_text(errors="replace").splitlines()[-lines:]
                text += "--- %s\n%s\n" % (path, "\n".join(tail))
        return text


@contextlib.contextmanager
def cluster(folder, page, timezone="UTC"):
    """The page's two shards, started in folder with its tables; stopped on
    leaving, whatever happens."""
    servers = []
    try:
        ports = free_ports(6)
        config = page.cluster
        for shard in (1, 2):
            config = config.replace("capture-db-%d" % shard, "127.0.0.1").replace(
                "<port>9000</port>", "<port>%d</port>" % ports[3 * shard - 3], 1)
        for shard in (1, 2):
            server = Server(folder, "shard%d" % shard, ports[3 * shard - 3:3 * shard],
                            {"valtocrane-cluster.xml": config}, timezone)
            servers.append(server)
            server.start()
            server.query(page.sql["The tables, on every server"])
        yield servers
    finally:
        for server in servers:
            server.stop()
