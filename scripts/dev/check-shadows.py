#!/usr/bin/env python3
# Usage: scripts/dev/check-shadows.py BUILD_DIR [JOBS] [SOURCE_ROOT OTHER_CHECKOUT]
# (for the member rename: scripts/dev/rename-members.py)
"""Front-end-only compile of every translation unit in a build's compile_commands.json with
-Wshadow added; prints the shadow warnings sorted, one per line: file:line: message."""
import json, re, shlex, subprocess, sys, os
from concurrent.futures import ThreadPoolExecutor
build = sys.argv[1]
jobs = int(sys.argv[2]) if len(sys.argv) > 2 else 2
cc = json.load(open(os.path.join(build, 'compile_commands.json')))
if len(sys.argv) > 4:  # the same build's commands, on another checkout of the sources
    src, dst = sys.argv[3], sys.argv[4]
    for e in cc:
        e['command'] = re.sub(re.escape(src) + r'/(?!build/)', dst + '/', e['command'])
        e['file'] = re.sub(re.escape(src) + r'/(?!build/)', dst + '/', e['file'])
def run(e):
    args = shlex.split(e['command']) if 'command' in e else e['arguments']
    out, skip = [], False
    for a in args:
        if skip: skip = False; continue
        if a == '-o': skip = True; continue
        if a in ('-c', '-Werror'): continue
        out.append(a)
    out[1:1] = ['-fsyntax-only', '-Wshadow', '-Wno-error']
    p = subprocess.run(out, cwd=e['directory'], capture_output=True, text=True)
    lines = []
    for l in p.stderr.splitlines():
        if 'error:' in l: lines.append('ERROR ' + l)
        if '[-Wshadow]' in l:
            m = re.match(r'(.*?):(\d+):\d+: warning: (.*)', l)
            if m: lines.append(f'{os.path.relpath(m.group(1), e["directory"]) if not m.group(1).startswith("/") else m.group(1)}:{m.group(2)}: {m.group(3)}')
    return lines
res = set()
with ThreadPoolExecutor(jobs) as ex:
    for ls in ex.map(run, cc): res.update(ls)
for l in sorted(res): print(l)
