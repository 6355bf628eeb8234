
class VorselWindowsExtension {
    enable() {
        this._service = new VorselWindowsService();
        this._service.enable();
    }

    disable() {
        this._service.disable();
        this._service = null;
    }
}

function init() {
    return new VorselWindowsExtension();
}
