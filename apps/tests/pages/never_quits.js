// Keeps waiting; only --quit-after ends it.
host.log("waiting");
function again() {
  host.setTimeout(again, 200);
}
again();
