#!/usr/bin/python3
"""A scripted org.freedesktop.portal.Desktop for the portal conversation tests.

usage: scripted_portal.py MODE CURSOR_MODES LOG READY
  MODE: grant (every request granted, one stream: node 42, 640x480, restore token "token-2"),
        cancel (Start answered 1, as when the user presses Cancel), refuse (Start answered 2),
        no-screencast (the object has no ScreenCast interface),
        forge (as grant, but before each answer another client of the bus sends a refusal on the
        request's path, once to everyone and once to the caller alone)
  CURSOR_MODES: the AvailableCursorModes value
Every call is appended to LOG as one JSON line before it is answered; READY is created once the
name is owned.
"""
import json
import os
import sys

import dbus
import dbus.bus
import dbus.lowlevel
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

MODE, CURSOR_MODES, LOG, READY = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
SCREEN_CAST = 'org.freedesktop.portal.ScreenCast'
DESKTOP_PATH = '/org/freedesktop/portal/desktop'

DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
forger = dbus.bus.BusConnection(os.environ['DBUS_SESSION_BUS_ADDRESS']) if MODE == 'forge' else None


def plain(value):
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (int, dbus.Byte)):
        return int(value)
    return str(value)


def log(call, **fields):
    with open(LOG, 'a', encoding='utf-8') as f:
        f.write(json.dumps(dict(call=call, **plain(fields))) + '\n')


class Request(dbus.service.Object):
    @dbus.service.signal('org.freedesktop.portal.Request', signature='ua{sv}')
    def Response(self, code, results):
        pass


class Session(dbus.service.Object):
    def __init__(self, path):
        super().__init__(bus, path)
        self.path = path

    @dbus.service.method('org.freedesktop.portal.Session', in_signature='', out_signature='')
    def Close(self):
        log('Close', session=self.path)
        self.remove_from_connection()


def forge(path, sender):
    """Refusals from a connection that is not the portal, delivered before the real answer."""
    for destination in (None, sender):
        message = dbus.lowlevel.SignalMessage(path, 'org.freedesktop.portal.Request', 'Response')
        if destination is not None:
            message.set_destination(destination)
        message.append(dbus.UInt32(2), dbus.Dictionary({}, signature='sv'), signature='ua{sv}')
        forger.send_message(message)
    # The bus handles a connection's messages in order: once this call returns, both signals are
    # on their way to the caller.
    forger.call_blocking('org.freedesktop.DBus', '/org/freedesktop/DBus', 'org.freedesktop.DBus',
                         'GetId', '', ())


def answer(sender, options, code, results):
    """Returns the request's path; its Response follows once the reply has gone out."""
    path = '%s/request/%s/%s' % (DESKTOP_PATH, sender[1:].replace('.', '_'),
                                 options['handle_token'])
    if MODE == 'forge':
        forge(path, sender)
    request = Request(bus, path)

    def respond():
        request.Response(dbus.UInt32(code), dbus.Dictionary(results, signature='sv'))
        request.remove_from_connection()
        return False
    GLib.idle_add(respond)
    return dbus.ObjectPath(path)


class Portal(dbus.service.Object):
    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='ss', out_signature='v')
    def Get(self, interface, name):
        log('Get', interface=interface, name=name)
        if interface != SCREEN_CAST or MODE == 'no-screencast':
            raise dbus.exceptions.DBusException(
                "No such interface '%s'" % interface, name='org.freedesktop.DBus.Error.InvalidArgs')
        values = {'version': dbus.UInt32(4), 'AvailableCursorModes': dbus.UInt32(CURSOR_MODES),
                  'AvailableSourceTypes': dbus.UInt32(7)}
        return values[name]

    def check(self):
        if MODE == 'no-screencast':
            raise dbus.exceptions.DBusException(
                'No such method', name='org.freedesktop.DBus.Error.UnknownMethod')

    @dbus.service.method(SCREEN_CAST, in_signature='a{sv}', out_signature='o',
                         sender_keyword='sender')
    def CreateSession(self, options, sender=None):
        log('CreateSession', options=options)
        self.check()
        session = '%s/session/%s/%s' % (DESKTOP_PATH, sender[1:].replace('.', '_'),
                                        options['session_handle_token'])
        Session(session)
        return answer(sender, options, 0, {'session_handle': dbus.String(session)})

    @dbus.service.method(SCREEN_CAST, in_signature='oa{sv}', out_signature='o',
                         sender_keyword='sender')
    def SelectSources(self, session, options, sender=None):
        log('SelectSources', session=session, options=options)
        return answer(sender, options, 0, {})

    @dbus.service.method(SCREEN_CAST, in_signature='osa{sv}', out_signature='o',
                         sender_keyword='sender')
    def Start(self, session, parent, options, sender=None):
        log('Start', session=session, parent=parent)
        if MODE == 'cancel':
            return answer(sender, options, 1, {})
        if MODE == 'refuse':
            return answer(sender, options, 2, {})
        props = dbus.Dictionary({'size': dbus.Struct((dbus.Int32(640), dbus.Int32(480))),
                                 'source_type': dbus.UInt32(1)}, signature='sv')
        streams = dbus.Array([dbus.Struct((dbus.UInt32(42), props))], signature='(ua{sv})')
        return answer(sender, options, 0,
                      {'streams': streams, 'restore_token': dbus.String('token-2')})

    @dbus.service.method(SCREEN_CAST, in_signature='oa{sv}', out_signature='h')
    def OpenPipeWireRemote(self, session, options):
        log('OpenPipeWireRemote', session=session)
        fd = os.open('/dev/null', os.O_RDWR)
        try:
            return dbus.types.UnixFd(fd)
        finally:
            os.close(fd)


Portal(bus, DESKTOP_PATH)
name = dbus.service.BusName('org.freedesktop.portal.Desktop', bus)
open(READY, 'w', encoding='utf-8').close()
GLib.MainLoop().run()
