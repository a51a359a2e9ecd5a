"""The service as the dock sees it: start, command replies, closing."""

import marlin_e2e


def test_answers_an_authorized_client_and_closes_cleanly_on_wm_close(prefix, service):
    key = service.key
    assert len({key.command_port, key.pressure_port, key.apps_port}) == 3
    assert all(3400 <= p <= 3655 for p in (key.command_port, key.pressure_port, key.apps_port))

    with service.command() as client:
        assert client.request("getCoreVersion") == "Success CoreVersion=2.06.0"
        assert client.request("platform") == "Success WIN32"

    assert service.stop() == 0
    log = service.log()
    assert "deinit server [%d]" % key.command_port in log
    assert "deinit server [%d]" % key.pressure_port in log
    # The apps server is left open until the process ends.
    assert "deinit server [%d]" % key.apps_port not in log
