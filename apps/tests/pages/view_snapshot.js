// Views the first simulated camera; once it is connected and a picture is
// shown, takes a snapshot (the control's and the window's) and quits 0.
// host.args[0]: the folder for the pictures.
var folder = host.args[0];

ctl0.ocxid = 5;
ctl0.url = host.sim[0];
ctl0.channel = 1;

function ctl0_LinkState(ocxid, state) {
  host.log("LinkState " + ocxid + " " + state);
  if (state !== 0) return;
  // Connected: the first picture follows shortly.
  host.setTimeout(function () {
    host.log("CaptureBMP " + ctl0.CaptureBMP(folder + "/snapshot.bmp"));
    host.log("screenshot " + host.screenshot(folder + "/window.png"));
    host.quit(0);
  }, 2000);
}

host.log("StartView " + ctl0.StartView());
