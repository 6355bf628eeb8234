// Vorsel windows: the extension for shells that load extensions as modules
// (GNOME 45 and later). Made at install time from this part and service.js.
import Gio from 'gi://Gio';
import GLib from 'gi://GLib';
import Meta from 'gi://Meta';
import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';
