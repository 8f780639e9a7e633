"""One manager shared by eight threads that register, look up, remove and print."""
import random
import sys
import threading

from support import records

from sorvex.core import pluginmanager as native
from sorvex.core.errors import ConnectionInfraError

# Unknown OS names go through the logger and every registration through
# inspect.getfile: Python code in the middle of an operation, where threads switch.
OSES = ["talvo", "linux", "zeta", "mocked-q"]
SERIES = [None, "t3z", "s1"]
MODELS = [None, "m1"]
CHASSIS = ["single_rp", "dual_rp", "stack"]
CLASSES = [type("P%d" % i, (), {}) for i in range(16)]
STEPS = 20000


def worker(m, seed, registered, errors):
    rnd = random.Random(seed)
    for _ in range(STEPS):
        os, series, chassis = rnd.choice(OSES), rnd.choice(SERIES), rnd.choice(CHASSIS)
        model = rnd.choice(MODELS) if series else None
        action = rnd.random()
        try:
            if action < 0.4:
                cls = rnd.choice(CLASSES)
                registered.setdefault((os, series, model, chassis), set()).add(cls)
                m.register_plugin(cls, os, series, model, chassis)
            elif action < 0.7:
                m.get_plugin(os, series, model, chassis)
            elif action < 0.9:
                m.unregister_plugin(os, series, model, rnd.choice(CHASSIS + [None]))
            else:
                repr(m)
        except ConnectionInfraError:
            pass
        except BaseException as exc:  # noqa: B902 - reported by the test
            errors.append(exc)
            return


def test_shared_manager_stays_well_formed():
    m, registered, errors = native.PluginManager(), {}, []
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(m, seed, registered, errors)) for seed in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert errors == []
    found = [(path + (None,) * (3 - len(path)), chassis, record) for path, chassis, record in records(m.plugins)]
    assert found
    for (os, series, model), chassis, record in found:
        assert record["cls"] in registered[(os, series, model, chassis)]
        assert record["path"] == __file__
    for (os, series, model), chassis, record in found:
        assert m.get_plugin(os, series, model, chassis) is record["cls"]
