// A syntax error on line 3.
host.log("never runs");
var x = (1 + ;
