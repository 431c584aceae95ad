"""The service's Prometheus metrics, in a registry of its own."""

import prometheus_client as prom


class Metrics:
    def __init__(self):
        self.registry = prom.CollectorRegistry()
        r = self.registry
        self.requests = prom.Counter(
            "pemux_requests", "HTTP requests answered", ["route", "status"], registry=r)
        self.solves_total = prom.Counter(
            "pemux_solves", "Submitted problems by outcome: ok, failed, died "
            "(solver process lost), reused (answered from a stored result)",
            ["outcome"], registry=r)
        self.solve_seconds = prom.Histogram(
            "pemux_solve_seconds", "Time in the solver per solve", registry=r,
            buckets=(.001, .005, .01, .05, .1, .25, .5, 1, 2.5, 5, 10, 30, 60, 300))
        self.pack_seconds = prom.Histogram(
            "pemux_pack_seconds", "Time compressing and storing a result", registry=r,
            buckets=(.001, .005, .01, .05, .1, .25, .5, 1, 2.5, 5, 10, 30, 60, 300))
        self.queue_depth = prom.Gauge(
            "pemux_queue_depth", "Problems waiting for a solver", registry=r)
        self.running = prom.Gauge(
            "pemux_running_solves", "Problems being solved from the queue", registry=r)
        self.bytes_out = prom.Counter(
            "pemux_response_bytes", "Body bytes sent", ["route"], registry=r)

    def render(self):
        return prom.generate_latest(self.registry), prom.CONTENT_TYPE_LATEST
