"""vantrel_power: Python access to vantrel_power_monitor, the Vantrel board's power monitor.

    import vantrel_power
    with vantrel_power.measure() as m:   # a latch on request on entry and on exit
        work()
    m.energy_j["vph"], m.bound_j["vph"], m.seconds, m.gap_s["vph"]

    before = vantrel_power.latch()       # the lower level: readings that subtract
    work()
    rows = (vantrel_power.latch() - before).rows()

    with vantrel_power.measure(interval=0.01) as m:   # and a latch every 10 ms in between
        work()
    for rail in m.profile.rails: rail.name, rail.intervals()   # (start ns, end ns, mean W)

Modules: client (the control socket, latch(), measure(), the prorated fallback), powertree (the
value tree and the energy snapshot of a running daemon), rawlogs (the raw logs, also copied off a
board), marks (named instants that split a run into phases), profile (exact interval means between
latches on request, their CSV, trace and plot), trace (Chrome/Perfetto trace-event JSON).
"""
from .client import CONTROL_SOCKET, Measurement, MeasureError, NoLatch, Reading, latch, measure

__all__ = ["CONTROL_SOCKET", "Measurement", "MeasureError", "NoLatch", "Reading", "latch", "measure"]
