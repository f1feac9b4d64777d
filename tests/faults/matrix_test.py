"""The fault matrix as a test program: one test per row of scenarios.py, in
one class per group of rows. The rows run all at once (several at a time,
as scripts/faults runs them) before the first test looks at its own row;
the table of every row is printed first."""
import os
import sys
import unittest

import render
import runner
import scenarios

ROWS = {}


def setUpModule():
    jobs = int(os.environ.get("RADEVARE_FAULT_JOBS", "6"))
    rows = runner.run_scenarios(scenarios.SCENARIOS, jobs)
    ROWS.update((row.scenario.name, row) for row in rows)
    print("fault matrix on %s, %d rows, %d at once" % (os.environ.get("RADEVARE_ARCH", "?"), len(rows), jobs))
    render.table(rows, out=sys.stdout, arch=os.environ.get("RADEVARE_ARCH"))


def row_test(name):
    def test(self):
        row = ROWS[name]
        self.assertEqual(row.failures, [], "%s: expected %s, observed %s" % (name, row.expected, row.observed))
    test.__doc__ = name
    return test


def make_classes():
    classes = {}
    for scenario in scenarios.SCENARIOS:
        group = scenario.name.split("/", 1)[0]
        name = group.capitalize() + "Rows"
        if name not in classes:
            classes[name] = type(name, (unittest.TestCase,), {"__doc__": "The %s rows of the matrix." % group})
        setattr(classes[name], "test_" + scenario.slug.replace("-", "_"), row_test(scenario.name))
    return classes


globals().update(make_classes())

if __name__ == "__main__":
    unittest.main(verbosity=2)
