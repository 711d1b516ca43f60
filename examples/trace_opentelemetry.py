"""Turn the events of ``quendle.trace()`` into OpenTelemetry spans.

Every body run becomes one span, named ``run <entry>``, with the entry label
and the cause (which change, through which dependency) as attributes; hits
and invalidations become events of the span that encloses the traced block.
The trace events carry no times, so the spans say what ran and why, not how
long it took.

Needs ``opentelemetry-sdk``:

    python examples/trace_opentelemetry.py
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from contextlib import contextmanager

from opentelemetry.trace import Tracer

import quendle
from quendle import QuendleBase, quendled


def attributes(event: quendle.TraceEvent) -> dict[str, str]:
    """What a span or span event says about one trace event."""
    attrs = {"quendle.entry": event.label, "quendle.class": type(event.instance).__qualname__}
    if event.cause is not None:
        attrs["quendle.cause"] = event.cause
    return attrs


def record(events: Iterable[quendle.TraceEvent], tracer: Tracer, name: str = "quendle.trace") -> None:
    """One parent span for the block, a child span per body run, an event per hit or invalidation."""
    with tracer.start_as_current_span(name) as parent:
        for event in events:
            if event.kind == "run":
                with tracer.start_as_current_span(f"run {event.label}", attributes=attributes(event)):
                    pass
            else:
                parent.add_event(event.kind, attributes=attributes(event))


@contextmanager
def spans(tracer: Tracer, name: str = "quendle.trace") -> Iterator[list[quendle.TraceEvent]]:
    """Traces the block on this thread and records its events as spans when it ends."""
    with quendle.trace() as events:
        yield events
    record(events, tracer, name)


class Quote(QuendleBase):
    @quendled()
    def rate(self) -> float:
        return 0.05

    @quendled(track_runtime_dependencies=True)
    def rounded(self) -> float:
        return round(self.rate(), 2)

    @quendled(track_runtime_dependencies=True)
    def price(self, qty: int, currency: str = "EUR") -> float:
        return qty * 100 * (1 + self.rounded())


def main() -> None:
    from opentelemetry.sdk.trace import TracerProvider
    from opentelemetry.sdk.trace.export import ConsoleSpanExporter, SimpleSpanProcessor

    provider = TracerProvider()
    provider.add_span_processor(SimpleSpanProcessor(ConsoleSpanExporter()))
    tracer = provider.get_tracer("quendle.example")
    quote = Quote()
    quote.price(1)
    with spans(tracer, "rate update"):
        quote.update_cached_value("rate", 0.07)
        quote.price(1)
    provider.shutdown()


if __name__ == "__main__":
    main()
