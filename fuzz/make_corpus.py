#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz target into fuzz/corpus (layout in
fuzz_entries.cpp): sound calls of both gateways, and a few of each kind of
hostile argument for the fuzzer to start from; and files for the command-line
tool's CSV and model readers."""
import math
import os
import struct

SPECIAL = [0.0, 1.0, -1.0, 0.5, 0.25, 0.75, 2.7, '-0', 'nan', 'inf', '-inf', 1e308, -1e308,
           2147483648.0, 4294967297.0, 9223372036854775808.0, 5e-324, -2.5]
DOUBLE, SINGLE, INT8, UINT8, INT32, UINT64, LOGICAL, CHAR, CELL, STRUCT, SPARSE = 0, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
COMPLEX = 0x10


def val(x):
    for i, s in enumerate(SPECIAL):
        if s == 'nan' and isinstance(x, float) and math.isnan(x):
            return bytes([i])
        if s == 'inf' and x == math.inf or s == '-inf' and x == -math.inf:
            return bytes([i])
        if s == '-0' and x == 0 and math.copysign(1, x) < 0:
            return bytes([i])
        if not isinstance(s, str) and x == s and math.copysign(1, x) == math.copysign(1, s):
            return bytes([i])
    if x >= 0 and (x * 16).is_integer() and 18 + x * 16 < 255:
        return bytes([18 + int(x * 16)])
    return b'\xff' + struct.pack('<d', x)


def arg(dims, values=(), cls=DOUBLE, shape=None, link=None):
    """An input: dims (7 = the matching count, given as link), values in
    column-major order."""
    if shape is None:
        shape = {1: 5, 2: 0, 3: 4, 4: 6}[len(dims)]
    out = bytes([cls, shape]) + bytes(dims)
    count = 1
    for d in dims:
        count *= link if d == 7 else d
    vals = list(values) or [0.5]
    for k in range(count if cls not in (CELL, STRUCT, SPARSE) else 0):
        out += val(float(vals[k % len(vals)]))
    for k in range(count if cls & COMPLEX else 0):
        out += val(0.25)
    return out


def huge(which, swap=False, cls=DOUBLE):
    return bytes([cls, 7 | which << 3 | (0x20 if swap else 0)])


def scalar(x, cls=DOUBLE):
    return arg([1, 1], [x], cls)


PATTERNS = [0.125, 0.1875, 0.8125, 0.875, 0.5, 0.125, 0.1875, 0.875, 0.8125, 0.5,
            0.3125, 0.3125, 0.6875, 0.6875, 0.5, 0.375, 0.375, 0.625, 0.625, 0.5]
TEMPLATES = [0, 0.75, 0, 0.75, 0, 0.75, 0.75, 0, 0.25, 1, 0.25, 1, 0.25, 1, 1, 0.25]
PERF_PATTERNS = [0.125, 0.875, 0.125, 0.875, 5, 0.125, 0.875, 0.875, 0.125, 5]


def train(patterns=None, labels=None, params=(0.75, 0.5, 1, 0.001, 10, 0, 0), mode=0, counts=(0, 0),
          extra=b''):
    head = bytes([mode]) + (extra if mode & 4 else b'') + bytes(counts)
    p = patterns if patterns is not None else arg([5, 4], PATTERNS)
    l = labels if labels is not None else arg([7, 1], [1, 1, 2, 2, 1], link=5)
    return head + p + l + b''.join(x if isinstance(x, bytes) else scalar(x) for x in params)


def perf(templates=None, labels=None, params=(0.5, None, -1, 0), mode=1, counts=(0, 0)):
    head = bytes([mode]) + bytes(counts)
    t = templates if templates is not None else arg([4, 4], TEMPLATES)
    l = labels if labels is not None else arg([7, 1], [1, 2, 3, 4], link=4)
    v, p, u, o = params
    p = p if p is not None else arg([5, 7], PERF_PATTERNS, link=2)
    return head + t + l + scalar(v) + p + scalar(u) + scalar(o)


SEEDS = {
    'train_sound': train(),
    'train_then_classify': train(mode=2) + val(-1.0) + bytes([3]),
    'train_full_trace_trimmed': train(params=(0.75, 0.5, 0.5, 0.001, 10, 1, 4)),
    'train_odd_values': train(patterns=arg([5, 4], [math.nan, math.inf, -math.inf, 1e308, -1e308, -0.0, 5e-324])),
    'train_int8_patterns': train(patterns=arg([5, 4], PATTERNS, INT8)),
    'train_complex_labels': train(labels=arg([7, 1], [1, 2], DOUBLE | COMPLEX, link=5)),
    'train_char_vigilance': train(params=(arg([1, 3], [65], CHAR), 0.5, 1, 0.001, 10, 0, 0)),
    'train_cell_oflag': train(params=(0.75, 0.5, 1, 0.001, 10, 0, arg([1, 1], [], CELL))),
    'train_huge_patterns': train(patterns=huge(0)),
    'train_memory_fault': train(mode=4, extra=bytes([6])),
    'train_wrong_counts': train(counts=(208, 202)),
    'train_empty': train(patterns=arg([0, 4]), labels=arg([0, 1])),
    'perf_sound': perf(),
    'perf_full_trace': perf(params=(0.5, None, 2.7, 3)),
    'perf_sparse_templates': perf(templates=arg([4, 4], cls=SPARSE)),
    'perf_3d_patterns': perf(params=(0.5, arg([2, 2, 2], [0.5]), -1, 0)),
    'perf_struct_labels': perf(labels=arg([4, 1], cls=STRUCT)),
    'perf_huge_patterns': perf(params=(0.5, huge(3, swap=True), -1, 0)),
    'perf_logical_single': perf(templates=arg([4, 4], TEMPLATES, SINGLE), labels=arg([4, 1], [1], LOGICAL)),
    'perf_no_nodes': perf(templates=arg([0, 4]), labels=arg([0, 1])),
}

CSV, MODEL = 8, 9
MODEL_TEXT = (b'quorv-model 1\nlabel_column label\nscaling min-max\nfeatures 2\nfeature 0 1 a\nfeature 0 1 b\n'
              b'training_patterns 2\nvigilance 0.75\nmin_size 0\nlearning_rate 1\nepsilon 0.001\n'
              b'max_list_presentations 100\ntrim_option 0\nlist_presentations 1\nnodes 2\n'
              b'node 1 0 0 0.5 0.5\nnode 2 0.5 0.5 1 1\n')
# A forest of two members over one feature each (seed 5), as the tool writes it.
FOREST_TEXT = (b'quorv-model 3\nlabel_column label\nscaling min-max\nfeatures 2\nfeature 0 1 a\nfeature 0 1 b\n'
               b'ignored 0\nclasses 2\nclass 1 1\nclass 2 2\ntraining_patterns 5\nvigilance 0.75\nmin_size 0\n'
               b'learning_rate 1\nepsilon 0.001\nmax_list_presentations 100\ntrim_option 0\norder sampled 5\n'
               b'sample 3 with_replacement\nmember_features 1\nmembers 2\nmember 1\nuses 2\nlist_presentations 1\n'
               b'nodes 2\nnode 2 0.9 0.9\nnode 1 0 0\nmember 2\nuses 2\nlist_presentations 1\nnodes 2\n'
               b'node 1 0 0.1\nnode 2 1 1\n')
SEEDS.update({
    'csv_sound': bytes([CSV]) + b'a,b,label\n0,0,1\n1,1,2\n0.2,0.1,1\n',
    'csv_spreadsheet': bytes([CSV]) + b'\xef\xbb\xbf"a" , b,label\r\n\r\n1e3,-2.5E-1,+1\r\n 0x1,nan,1',
    'csv_header_without_name': bytes([CSV]) + b'a,b,lab0e1l,,\n0\n1,1,2\n',
    'csv_hostile_names': bytes([CSV]) + b'a\x1b]2;x\x07,b\x00\xff,a\n1,2,3\n',
    'model_sound': bytes([MODEL]) + MODEL_TEXT,
    'model_crlf': bytes([MODEL]) + MODEL_TEXT.replace(b'\n', b'\r\n'),
    'model_odd_numbers': bytes([MODEL]) + MODEL_TEXT.replace(b'node 1 0 0 0.5', b'node 1 -0 nan(0x1) 0.5')
                                                  .replace(b'epsilon 0.001', b'epsilon inf'),
    # Read line by line: text after the last record, a last line without its end.
    'model_trailing_text': bytes([MODEL]) + MODEL_TEXT + b'more\nand more',
    'model_unended': bytes([MODEL]) + MODEL_TEXT[:-1],
    'model_forest': bytes([MODEL]) + FOREST_TEXT,
    # What the writer never gives: a sign, a leading zero, more rows than trained on.
    'model_forest_not_written_so': bytes([MODEL]) + FOREST_TEXT.replace(b'nodes 2', b'nodes +2', 1)
                                                             .replace(b'sampled 5', b'sampled 05'),
    'model_forest_oversampled': bytes([MODEL]) + FOREST_TEXT.replace(b'sample 3 ', b'sample 6 '),
    # Version 4: the conflicts setting after the training parameters.
    'model_setting_conflicts': bytes([MODEL]) + FOREST_TEXT.replace(b'quorv-model 3', b'quorv-model 4', 1)
                                                       .replace(b'trim_option 0\n',
                                                                b'trim_option 0\nsettings 1\nconflicts merge 2\n', 1),
    # Version 4: a forest's out-of-bag estimate, 3 of the 4 rows some member did not draw.
    'model_setting_oob': bytes([MODEL]) + FOREST_TEXT.replace(b'quorv-model 3', b'quorv-model 4', 1)
                                                 .replace(b'trim_option 0\n',
                                                          b'trim_option 0\nsettings 1\noob nearest 3 4\n', 1),
})

here = os.path.dirname(os.path.abspath(__file__))
for name, data in SEEDS.items():
    with open(os.path.join(here, 'corpus', name), 'wb') as f:
        f.write(data)
print(len(SEEDS), 'seeds written')
