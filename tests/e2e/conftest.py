"""Fixtures shared by the end-to-end suites (see marlin_e2e.py for the API).

    prefix   one throw-away Wine prefix per test module, with the Adobe AIR
             installer registered and the session log switched on
    service  a MarlinCore.exe started in that prefix for one test and
             stopped (WM_CLOSE, then wineserver -k) afterwards; .key holds
             the parsed key file
"""

import pytest

import marlin_e2e


@pytest.fixture(scope="session", autouse=True)
def _display():
    marlin_e2e.ensure_display()
    yield
    marlin_e2e.stop_display()


@pytest.fixture(scope="module")
def prefix():
    with marlin_e2e.WinePrefix() as p:
        yield p


@pytest.fixture
def service(prefix):
    svc = marlin_e2e.Service(prefix)
    svc.start()
    yield svc
    svc.stop()


@pytest.fixture
def report_figure(capsys):
    """Writes a measured figure to the run's output (CTest keeps it in LastTest.log); never a pass mark."""
    def write(text):
        with capsys.disabled():
            print("\n" + text)
    return write
