// Loaded into KWin by the Vorsel agent while a focus session closes apps,
// and unloaded when it stops: tells the agent (%AGENT%, the agent's own
// connection to the session bus) which windows there are, each time one
// comes, goes or is minimised, so that the agent never has to ask. Works
// with the names of Plasma 5.27 (clientList, clientAdded) and Plasma 6
// (windowList, windowAdded).
const agent = "%AGENT%";
const objectPath = "%PATH%";
const agentInterface = "%INTERFACE%";

function all() {
    return workspace.windowList ? workspace.windowList() : workspace.clientList();
}

function describe(window) {
    return {
        id: String(window.internalId),
        pid: Number(window.pid) || 0,
        windowClass: String(window.desktopFileName || window.resourceClass || ""),
        instance: String(window.resourceName || ""),
        title: String(window.caption || ""),
        dialog: Boolean(window.dialog || window.transient || window.transientFor),
        minimised: Boolean(window.minimized),
        closable: Boolean(window.closeable),
    };
}

function tell(event, gone) {
    const windows = all().filter(window => window !== gone && (window.normalWindow || window.dialog));
    callDBus(agent, objectPath, agentInterface, "Windows", event,
             JSON.stringify(windows.map(describe)));
}

function watch(window) {
    if (window.minimizedChanged) window.minimizedChanged.connect(() => tell("changed", null));
}

all().forEach(watch);
(workspace.windowAdded || workspace.clientAdded).connect(window => {
    watch(window);
    tell("added", null);
});
(workspace.windowRemoved || workspace.clientRemoved).connect(window => tell("changed", window));
tell("started", null);
