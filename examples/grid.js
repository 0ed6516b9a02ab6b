// Four cameras in a 2 x 2 grid, with buttons that record and snapshot all of
// them. The page does what a monitoring web page does with four embedded
// viewer controls: set each one's address, start its view, follow its link
// state and drive recording and snapshots from its own buttons.
//
//   qr-page --grid 2x2 --sim 4 examples/grid.js
//   qr-page --grid 2x2 examples/grid.js HOST[:PORT] HOST[:PORT] ...
//
// Recordings and snapshots go where the settings put them (drive C by
// default). With "--shot FILE" as the first argument the page stops the last
// simulated camera once every view is connected, waits until its control
// shows the link-state text, saves a picture of the window and quits.

var shot = null;
var addresses = host.args.slice();
if (addresses[0] === "--shot") {
  shot = addresses[1];
  addresses = addresses.slice(2);
}
if (addresses.length === 0) addresses = host.sim;

var linkText = ["connected", "connecting", "connecting", "disconnected", "reconnecting",
                "connecting"];
var connected = {};
var recording = false;

controls.forEach(function (ctl, i) {
  if (i >= addresses.length) return;
  ctl.ocxid = i;
  ctl.url = addresses[i];
  ctl.channel = 1;
  ctl.Language = 1;
  // Events of ctlN arrive as calls of ctlN_Event.
  this["ctl" + i + "_LinkState"] = function (ocxid, state) {
    host.log("camera " + ocxid + ": " + (linkText[state] || state));
    connected[ocxid] = state === 0;
    if (shot !== null) shotProgress();
  };
  this["ctl" + i + "_ClickSel"] = function (url, ocxid) {
    host.log("camera " + ocxid + " selected (" + url + ")");
  };
  ctl.StartView();
}, this);

host.button("Record all", function () {
  recording = !recording;
  controls.forEach(function (ctl, i) {
    if (recording) {
      // An empty name lets the control name the file after the camera and time.
      host.log("camera " + i + " record: " + ctl.StartRecord("", 0, 0));
    } else {
      ctl.StopRecord();
    }
  });
  if (!recording) host.log("recording stopped");
});

host.button("Snapshot all", function () {
  controls.forEach(function (ctl, i) {
    host.log("camera " + i + " snapshot: " + ctl.CaptureBMP(""));
  });
});

host.button("Settings", function () {
  ctl0.PopupConfigDlg();
});

host.button("Replay", function () {
  ctl0.StartupPlayback(ctl0.Language);
});

// ---- the screenshot run ----
var stopped = false;
function shotProgress() {
  var last = addresses.length - 1;
  if (!stopped) {
    for (var i = 0; i < addresses.length; ++i)
      if (!connected[i]) return;
    stopped = true;
    // Let every view show a few pictures, then take the last camera away.
    host.setTimeout(function () { host.stopSim(last); }, 1500);
    return;
  }
  if (connected[last]) return;
  host.setTimeout(function () {
    host.log("saved " + shot + ": " + host.screenshot(shot));
    host.quit(0);
  }, 1500);
}
