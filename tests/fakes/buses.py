#!/usr/bin/python3
"""Runs a command between a private system bus and a private session bus.

  buses.py [--logind] [--gnome-sm] [--keyring] [--notifications] -- COMMAND [ARGS...]

Starts both buses (dbusmock's DBusTestCase) and the chosen services, runs COMMAND
with DBUS_SYSTEM_BUS_ADDRESS and DBUS_SESSION_BUS_ADDRESS set to them, stops
everything and exits with COMMAND's exit code. Mocks are steered and inspected
through org.freedesktop.DBus.Mock.
  --logind    dbusmock's logind template on the system bus
  --gnome-sm  a mock org.gnome.SessionManager at /org/gnome/SessionManager on
              the session bus: Inhibit(susu) answers cookie 4711, Uninhibit(u)
  --keyring   gnome-keyring-daemon's Secret Service on the session bus, its
              default collection unlocked, stored in a throw-away directory
  --notifications  dbusmock's notification_daemon template on the session bus:
              Notify answers ids from 1 (again from 1 after Mock.Reset) and
              returns replaces_id when that is not 0
"""

import argparse, os, shutil, signal, subprocess, sys, time  # noqa: E401

import dbus
from dbusmock import MOCK_IFACE, DBusTestCase

SESSION_MANAGER, SESSION_MANAGER_PATH = "org.gnome.SessionManager", "/org/gnome/SessionManager"


def keyring_unlocked(bus):
    """The daemon owns its name a moment before its default collection exists."""
    try:
        path = bus.get_object("org.freedesktop.secrets", "/org/freedesktop/secrets").ReadAlias(
            "default", dbus_interface="org.freedesktop.Secret.Service")
        return path != "/" and not bus.get_object("org.freedesktop.secrets", path).Get(
            "org.freedesktop.Secret.Collection", "Locked", dbus_interface=dbus.PROPERTIES_IFACE)
    except dbus.exceptions.DBusException:
        return False


def start_keyring(home):
    env = dict(os.environ, HOME=home, XDG_DATA_HOME=home, XDG_CONFIG_HOME=home, XDG_RUNTIME_DIR=home)
    keyring = subprocess.Popen(["gnome-keyring-daemon", "--foreground", "--components=secrets", "--unlock"],
                               stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, env=env)
    keyring.stdin.write(b"throw-away")  # the password of the new login keyring
    keyring.stdin.close()
    deadline = time.monotonic() + 10
    while not keyring_unlocked(DBusTestCase.get_dbus()):
        if time.monotonic() > deadline or keyring.poll() is not None:
            raise RuntimeError("gnome-keyring-daemon did not come up unlocked within 10 s")
        time.sleep(0.05)
    return keyring


def main():
    parser = argparse.ArgumentParser(usage=__doc__.splitlines()[2].strip())
    for service in ("--logind", "--gnome-sm", "--keyring", "--notifications"):
        parser.add_argument(service, action="store_true")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    # SIGTERM unwinds like an exception, so that the buses and services still go.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    services = []
    try:
        DBusTestCase.start_system_bus()
        DBusTestCase.start_session_bus()
        if args.logind:
            services.append(DBusTestCase.spawn_server_template("logind", stdout=subprocess.DEVNULL)[0])
        if args.gnome_sm:
            services.append(DBusTestCase.spawn_server(SESSION_MANAGER, SESSION_MANAGER_PATH,
                                                      SESSION_MANAGER, stdout=subprocess.DEVNULL))
            DBusTestCase.get_dbus().get_object(SESSION_MANAGER, SESSION_MANAGER_PATH).AddMethods(
                SESSION_MANAGER, [("Inhibit", "susu", "u", "ret = 4711"), ("Uninhibit", "u", "", "")],
                dbus_interface=MOCK_IFACE)
        if args.notifications:
            services.append(DBusTestCase.spawn_server_template("notification_daemon", stdout=subprocess.DEVNULL)[0])
        if args.keyring:
            services.append(start_keyring(os.path.dirname(DBusTestCase.get_services_dir())))
        return subprocess.call(args.command[1:] if args.command[:1] == ["--"] else args.command)
    finally:
        for service in services:
            service.terminate()
            service.wait(timeout=10)
        # Its tearDownClass forgets to remove that directory.
        shutil.rmtree(os.path.dirname(DBusTestCase.get_services_dir()), ignore_errors=True)
        DBusTestCase.tearDownClass()


if __name__ == "__main__":
    sys.exit(main())
