// Loaded into KWin by the Vorsel agent for one request, then unloaded: asks
// one window to close, as its close button would, or minimises it, and
// tells the agent whether it could.
(function () {
    const windows = workspace.windowList ? workspace.windowList() : workspace.clientList();
    let done = false;
    for (const window of windows) {
        if (String(window.internalId) !== "%WINDOW%") continue;
        if ("%ACTION%" === "close" && window.closeable) {
            window.closeWindow();
            done = true;
        } else if ("%ACTION%" === "minimise" && window.minimizable) {
            window.minimized = true;
            done = Boolean(window.minimized);
        }
    }
    callDBus("%AGENT%", "%PATH%", "%INTERFACE%", "Done", "%TOKEN%", done);
})();
