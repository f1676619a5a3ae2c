"""The sandbox as a test harness, on this machine:

- full pay-settle-refund scenarios through the driver, each with its three
  callbacks delivered to a local receiver: scenarios per second;
- query_order over loopback from 8 client threads against the sandbox in a
  process of its own: requests per second, and the CPU each side spends on
  one request.

    .venv/bin/python bench/sandbox_harness.py
"""

from __future__ import annotations

import os
import re
import statistics
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "sandbox"))

import tavori_pay  # noqa: E402
from tavori_pay_sandbox import Sandbox  # noqa: E402

RUNS = int(os.environ.get("BENCH_RUNS", "5"))
SECONDS = float(os.environ.get("BENCH_SECONDS", "3"))
CLIENTS = 8


class Receiver(BaseHTTPRequestHandler):
    def do_POST(self) -> None:
        self.rfile.read(int(self.headers["Content-Length"]))
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args) -> None:
        pass


def scenarios_per_second() -> list[float]:
    receiver = ThreadingHTTPServer(("127.0.0.1", 0), Receiver)
    threading.Thread(target=receiver.serve_forever, daemon=True).start()
    notify = f"http://127.0.0.1:{receiver.server_address[1]}/notify"
    rates = []
    with Sandbox(settle_delay=10**9, log=lambda line: None) as sandbox:
        client = sandbox.client()
        for _ in range(RUNS):
            done, started = 0, time.perf_counter()
            while time.perf_counter() - started < SECONDS:
                order_id = client.create_payment(12.5, "CNY", "artist", notify).order_id
                sandbox.pay(order_id)
                sandbox.settle(order_id)
                sandbox.refund(order_id)
                sandbox.wait_for_deliveries(order_id, count=3)
                done += 1
            rates.append(done / (time.perf_counter() - started))
            sandbox.reset()
    receiver.shutdown()
    return rates


def process_cpu(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def query_order_throughput() -> list[tuple[float, float, float]]:
    """(requests per second, client CPU µs per request, sandbox CPU µs per request) per run."""
    sandbox = subprocess.Popen([sys.executable, "-m", "tavori_pay_sandbox", "--port", "0", "--db", ":memory:",
                                "--account", "bench:bench-secret", "--workers", "8"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                               env={**os.environ, "PYTHONPATH": str(ROOT / "sandbox")})
    results = []
    try:
        os.environ["TAVORI_PAY_BASE_URL"] = re.search(r"listening on (\S+)", sandbox.stdout.readline()).group(1)
        client = tavori_pay.Client("bench", "bench-secret")
        order_id = client.create_payment(1, "CNY", "a", "http://127.0.0.1:9/").order_id
        for _ in range(RUNS):
            counts = [0] * CLIENTS
            stop = threading.Event()

            def ask(slot: int) -> None:
                while not stop.is_set():
                    client.query_order(order_id)
                    counts[slot] += 1

            threads = [threading.Thread(target=ask, args=(slot,)) for slot in range(CLIENTS)]
            own, theirs, started = os.times(), process_cpu(sandbox.pid), time.perf_counter()
            for thread in threads:
                thread.start()
            time.sleep(SECONDS)  # the measuring window itself
            stop.set()
            for thread in threads:
                thread.join()
            elapsed, total = time.perf_counter() - started, sum(counts)
            spent = os.times()
            client_cpu = (spent.user - own.user) + (spent.system - own.system)
            results.append((total / elapsed, client_cpu / total * 1e6,
                            (process_cpu(sandbox.pid) - theirs) / total * 1e6))
    finally:
        sandbox.terminate()
        sandbox.wait(10)
    return results


def main() -> None:
    for proxy in ("http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"):
        os.environ.pop(proxy, None)
    rates = scenarios_per_second()
    print(f"pay-settle-refund scenarios through the driver, 3 callbacks each to a local receiver, "
          f"{os.cpu_count()} cores, {RUNS} runs of {SECONDS:.0f} s:")
    print(f"  median {statistics.median(rates):.0f} scenarios/s  (runs: {' '.join(f'{r:.0f}' for r in rates)})")
    runs = query_order_throughput()
    best = max(runs)
    print(f"query_order over loopback, {CLIENTS} client threads, the sandbox in its own process:")
    print(f"  median {statistics.median(r[0] for r in runs):.0f} requests/s  "
          f"(runs: {' '.join(f'{r[0]:.0f}' for r in runs)})")
    print(f"  CPU per request in the best run: client {best[1]:.0f} µs, sandbox {best[2]:.0f} µs; "
          f"two cores allow at most {2e6 / (best[1] + best[2]):.0f} requests/s at those costs")


if __name__ == "__main__":
    main()
