"""The service's Prometheus metrics, in a registry of its own."""

import prometheus_client as prom

SECONDS = (.001, .005, .01, .05, .1, .25, .5, 1, 2.5, 5, 10, 30, 60, 300)


class Metrics:
    def __init__(self, front=True):
        self.registry = prom.CollectorRegistry()
        r = self.registry
        # Memory, CPU and descriptors of this process.
        prom.ProcessCollector(registry=r)
        self.solves_total = prom.Counter(
            "pemux_solves", "Submitted problems by outcome: ok, failed, died "
            "(solver process lost), reused (answered from a stored result)",
            ["outcome"], registry=r)
        self.solve_seconds = prom.Histogram(
            "pemux_solve_seconds", "Time in the solver per solve", registry=r,
            buckets=SECONDS)
        self.pack_seconds = prom.Histogram(
            "pemux_pack_seconds", "Time compressing and storing a result", registry=r,
            buckets=SECONDS)
        if not front:
            return  # a broker worker: solves only
        self.requests = prom.Counter(
            "pemux_requests", "HTTP requests answered", ["route", "status"], registry=r)
        self.request_seconds = prom.Histogram(
            "pemux_request_duration_seconds", "Time from a request's head to its answer "
            "(a held poll counts its wait)", ["route"], registry=r,
            buckets=(.001, .0025, .005, .01, .025, .05, .1, .25, .5, 1, 2.5, 5, 10, 30))
        self.queue_depth = prom.Gauge(
            "pemux_queue_depth", "Problems waiting for a solver", registry=r)
        self.running = prom.Gauge(
            "pemux_running_solves", "Problems being solved from the queue", registry=r)
        self.bytes_out = prom.Counter(
            "pemux_response_bytes", "Body bytes sent", ["route"], registry=r)

    def attempted(self, outcome):
        """One solve attempt (an engine.Outcome); a storage fault counts as
        failed."""
        if outcome.kind == "ok":
            self.solved("ok", outcome.solve_s, outcome.pack_s)
        else:
            self.solved("failed" if outcome.kind == "storage" else outcome.kind)

    def solved(self, outcome, solve_s=None, pack_s=None):
        self.solves_total.labels(outcome).inc()
        if solve_s is not None:
            self.solve_seconds.observe(solve_s)
            self.pack_seconds.observe(pack_s)

    def observe_request(self, route, seconds):
        self.request_seconds.labels(route).observe(seconds)

    def render(self):
        return prom.generate_latest(self.registry), prom.CONTENT_TYPE_LATEST

    def serve(self, port, host="127.0.0.1"):
        """/metrics on a port of its own (a broker worker's)."""
        server, _ = prom.start_http_server(port, addr=host, registry=self.registry)
        return server
