"""Run-wide settings: tests that the sanitizer build itself distorts.

.ci/run also runs the suite against an extension built with AddressSanitizer
and UndefinedBehaviorSanitizer and sets VEXEL_CKF_SANITIZED=1 there. A test
marked `not_sanitized(reason)` is skipped in that run, with its reason.
"""

import os

import pytest


def pytest_configure(config):
    config.addinivalue_line("markers", "not_sanitized(reason): skipped when the extension runs under the sanitizers")
    # CI runs these once, in its first stage, and deselects them (-m "not slow") in the stages that repeat
    # the suite on other builds of the same sources.
    config.addinivalue_line("markers", "slow(reason): a costly test of the package's setting (subprocess "
                            "environments, clusters, documentation); the suite runs it by default")


def pytest_collection_modifyitems(config, items):
    if os.environ.get("VEXEL_CKF_SANITIZED") != "1":
        return
    for item in items:
        marker = item.get_closest_marker("not_sanitized")
        if marker is not None:
            item.add_marker(pytest.mark.skip(reason="under the sanitizers: " + marker.args[0]))
