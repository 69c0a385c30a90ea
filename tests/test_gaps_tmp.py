import sys
sys.path.insert(0, '/work/main/tests')
from test_pacer import clock, service, batch, written, every_line

def test_gaps(batch, service, tmp_path):
    server = service(files=6)
    server.count, server.latency, server.bucket = 6900, 0.01, (40, 6)
    server.limit_reply = (503, {})
    batch(server)
    starts = [at for (kind, _, r), at in zip(server.log, server.times) if kind == "list"]
    refused = [i for i, (kind, _, r) in enumerate(server.log) if r]
    gaps = [b - a for a, b in zip(starts, starts[1:])]
    tail = gaps[refused[-1] + 1:]
    print("REFUSALS", len(refused), "LAST", refused[-1], "TAILRATE", round(len(tail) / sum(tail), 2) if tail else None, "TOTAL", round(starts[-1], 3))
