"""What the stand-in target's processes share besides its mail and its
configuration database: the transcript and the fault plan's counters.
Both live in the state folder, so a connection served by any process (or
an administration session on a thread of the main one) writes the same
transcript and counts the same occurrences.
"""

import json
import os

from mail_store import locked, write_atomic


class Transcript:
    """<state>/transcript.log: one line per line in or out, "<session>
    <C:|S:> <text>". Each line is one write() to a file opened for
    appending, so lines of different processes never interleave."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o600)

    def log(self, session, direction, text):
        os.write(self.fd, ("%s %s %s\n" % (session, direction, text))
                 .encode("utf-8", "backslashreplace"))


class FaultPlanUnusable(Exception):
    """Why the file named for the fault plan can't be used, in one line."""


def read_fault_plan(path):
    """The planned faults in the file at `path`: a JSON list of objects,
    each naming what it is "on". FaultPlanUnusable says why when the file
    can't be read or holds something else, and when `path` is the plan
    itself written on the command line rather than a file's path."""
    try:
        with open(path, "rb") as f:
            text = f.read()
    except OSError as e:
        if path.lstrip().startswith(("[", "{")):
            raise FaultPlanUnusable(
                "--faults takes the path of a file that holds the fault plan, not the plan "
                "itself: write %s into a file and give its path" % path.strip())
        raise FaultPlanUnusable("the fault plan %s can't be read: %s" % (path, e.strerror))
    try:
        faults = json.loads(text)
    except ValueError as e:
        raise FaultPlanUnusable("the fault plan %s is not JSON: %s" % (path, e))
    if not isinstance(faults, list):
        kinds = {dict: "an object", str: "a text", int: "a number", float: "a number",
                 bool: "true or false", type(None): "null"}
        raise FaultPlanUnusable("the fault plan %s holds %s, not a list of faults"
                                % (path, kinds[type(faults)]))
    for number, fault in enumerate(faults, 1):
        if not isinstance(fault, dict) or not isinstance(fault.get("on"), str):
            raise FaultPlanUnusable("fault %d of the plan %s is not an object naming what it "
                                    "is \"on\": %s" % (number, path, json.dumps(fault)))
        if not isinstance(fault.get("after", {}), dict):
            raise FaultPlanUnusable("fault %d of the plan %s counts \"after\" something that "
                                    "is not an object naming a statement and its count: %s"
                                    % (number, path, json.dumps(fault)))
    return faults


class FaultPlan:
    """The planned faults (a JSON list of {"on": verb, "count": n, "times":
    k, "action": ...}) and how often each planned verb has come, counted
    over every connection in <state>/fault-counts.json under its lock: "the
    3rd APPEND" is the 3rd the server received, whichever connection sent
    it. A fault with a "statement" counts only the administration
    statements that begin with it: "the 2nd INSERT INTO IpAccessList". A
    fault with an "after" ({"statement": s, "count": m}) starts counting
    once the m-th statement beginning with s has come, that one not
    counted: {"on": "TINYDB QUERY", "after": {"statement": "CALL
    stop_service(", "count": 2}, "count": 3} is the 3rd statement after the
    2nd stop of a service, however many came before it."""

    def __init__(self, faults, state_dir):
        self.faults = faults
        self.counted = {self.counter(fault) for fault in faults}
        self.counted |= {self.start(counter) for counter in self.counted if counter[2]}
        self.counts_path = os.path.join(state_dir, "fault-counts.json")
        self.lock_path = self.counts_path + ".lock"

    @staticmethod
    def counter(fault):
        """What a fault's count counts: its verb, the statement's beginning
        when it names one, and the statement and count it starts after
        when it names them (else None)."""
        after = fault.get("after")
        return (fault.get("on", "").upper(), fault.get("statement", ""),
                (after.get("statement", ""), after.get("count", 1)) if after else None)

    @staticmethod
    def start(counter):
        """The counter of the statements that a counter with an "after"
        starts after."""
        verb, _, (statement, _) = counter
        return verb, statement, None

    @staticmethod
    def counter_name(counter):
        verb, statement, after = counter
        return verb + (" " + statement if statement else "") \
            + (" after #%d %s" % (after[1], after[0]) if after else "")

    def counts_now(self, counter, counts):
        """Whether a counter counts this occurrence, given the counts before
        it: one with an "after" only once the statement it starts after has
        come that often."""
        if not counter[2]:
            return True
        return counts.get(self.counter_name(self.start(counter)), 0) >= counter[2][1]

    def fault_for(self, verb, statement=""):
        """The fault planned for this occurrence of the verb (with its
        statement, for the administration service's), if any."""
        here = [c for c in self.counted if c[0] == verb and statement.startswith(c[1])]
        if not here:
            return None
        with locked(self.lock_path):
            try:
                with open(self.counts_path, "rb") as f:
                    counts = json.loads(f.read())
            except FileNotFoundError:
                counts = {}
            here = [counter for counter in here if self.counts_now(counter, counts)]
            for counter in here:
                name = self.counter_name(counter)
                counts[name] = counts.get(name, 0) + 1
            write_atomic(self.counts_path, json.dumps(counts).encode())
        for fault in self.faults:
            counter = self.counter(fault)
            if counter not in here:
                continue
            first = fault.get("count", 1)
            if first <= counts[self.counter_name(counter)] < first + fault.get("times", 1):
                return fault
        return None
