// An error in a timer callback, on line 4.
host.setTimeout(function () {
  host.log("in timer");
  null.property = 1;
}, 10);
