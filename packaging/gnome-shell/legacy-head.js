// Vorsel windows: the extension for shells that load extensions as scripts
// (GNOME 43 and 44). Made at install time from this part and service.js.
'use strict';
const {Gio, GLib, Meta} = imports.gi;
