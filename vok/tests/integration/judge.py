"""Everything the tests know about what a repaired file must look like,
gathered for one candidate file: the structure walker, the exact survivor
oracle (container and FFmpeg views), clean decoding, the duration and, when
the file has an index, the index and seek checks."""
import hashlib
import os
from dataclasses import dataclass, field

import fixtures
import oracle
import rmwalk


@dataclass
class Verdict:
    problems: list = field(default_factory=list)
    notes: list = field(default_factory=list)
    expected: int = 0      # packets that must survive
    kept: int = 0          # packets the candidate holds
    original: int = 0      # packets of the reference


class Scratch:
    """A folder for files FFmpeg has to read; references are probed once."""

    def __init__(self, folder):
        self.folder = folder
        self.refs = {}
        os.makedirs(folder, exist_ok=True)

    def write(self, data, name):
        path = os.path.join(self.folder, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def reference(self, data):
        key = hashlib.sha1(data).hexdigest()
        if key not in self.refs:
            path = self.write(data, f"ref-{key[:12]}.rm")
            m = rmwalk.walk(data)
            self.refs[key] = (path, m, oracle.probe_packets(path) if m.packets else None)
        return self.refs[key]


def judge(scratch, data, fx, seeks=False):
    """Checks data as the repair of fixture fx."""
    v = Verdict()
    m = rmwalk.walk(data)
    v.problems += [f"rmwalk: {p}" for p in m.problems]
    ref_path, ref_model, ref_packets = scratch.reference(fx.reference)
    want = oracle.container_packets(fx.reference, ref_model, fx.ranges)
    got = oracle.container_packets(data, m)
    v.original, v.expected, v.kept = len(ref_model.packets), len(want), len(got)
    v.problems += oracle.compare_container(want, got)
    if not fx.ffmpeg_readable:
        v.notes.append("FFmpeg cannot read these packets: walker and container checks only")
        return v
    path = scratch.write(data, "candidate.rm")
    packets = oracle.probe_packets(path)
    expected, _, oracle_faults = oracle.expected_survivors(ref_packets, ref_model, fx.ranges)
    v.problems += [f"oracle: {p}" for p in oracle_faults]
    v.problems += [f"ffprobe {p}" for p in oracle.compare_streams(expected, oracle.per_stream(packets))]
    v.problems += oracle.decode_errors(path)
    if m.prop:
        v.problems += oracle.duration_problems(packets, m)
    if m.indexes and m.sound:
        v.problems += oracle.index_problems(packets, m)
        if seeks:
            control = scratch.write(fixtures.reindexed(data), "control.rm")
            problems, notes = oracle.seek_problems(path, packets, m, oracle.seek_times(packets, m),
                                                   (control, rmwalk.walk_file(control)))
            v.problems += problems
            v.notes += notes
    return v
