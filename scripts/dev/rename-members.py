#!/usr/bin/env python3
"""Renames data members that end in an underscore (`runLoop_`) to their bare name (`runLoop`),
across every C++ file git tracks, so that the whole tree has one member-naming style.

Run from the top of a checkout:  python3 scripts/dev/rename-members.py [--dry-run]

It finds the members itself (identifiers ending in `_` declared directly in a class or struct
body), so it can be run again after other branches bring new ones; once nothing is left to
rename it changes nothing. Two hazards are handled before any text changes:

- A bare name taken in the same class (a method `clock()` beside `clock_`), a keyword, or an
  unqualified call of a free function with that name in a file that uses the member: the member
  gets the name from RENAMES, else `<name>Held`, and the run says so (add a better name to
  RENAMES and run again on a fresh checkout).
- A parameter or local that has the bare name, in a scope that also uses the member: after the
  rename it would silently hide the member. Such a declaration is renamed within its scope first
  (`given<Name>` for a parameter, `local<Name>` for a local). Constructor parameters that are
  only the mem-initializers' sources (`runLoop(runLoop)`) stay: that is valid and already our
  style elsewhere.

Strings are left alone; comments follow the rename. Then, with a configured build folder:

  scripts/dev/check-shadows.py build 2 > shadows.txt      # front end only, -Wshadow added
  python3 scripts/dev/rename-members.py --fix-shadows shadows.txt

The second step renames what -Wshadow still reports (a parameter or local named like a member
of its class, in a scope that never used the member), except constructor parameters that only
feed the mem-initializers. Running check-shadows.py again then reports only those, and no errors.
"""
import re
import subprocess
import sys

# Members whose bare name is taken (mostly by an accessor of the same name): the name to give
# them instead, in every class that has a member of that name.
RENAMES = {
    "address_": "busAddress", "anchorFile_": "anchorFilePath", "app_": "appIdentifier",
    "authority_": "certificateAuthority", "bootId_": "cachedBootId", "builds_": "buildCount",
    "busName_": "guardBusName", "bus_": "busConnection", "byProgram_": "claimsByProgram",
    "byScript_": "claimsByScript", "byService_": "claimsByService", "calls_": "recordedCalls",
    "callerGenuine_": "callerGenuineEntry", "changes_": "changeCount", "count_": "anchorCount",
    "dataHome_": "dataHomePath", "delete_": "deleteWindowAtom", "desktop_": "virtualDesktop",
    "display_": "currentDisplay", "example_": "exampleText", "exiting_": "isExiting",
    "fd_": "fileDescriptor", "folders_": "xdgFolders", "judgements_": "recordedJudgements",
    "odd_": "oddReads", "own_": "ownName", "path_": "location", "pid_": "processId",
    "present_": "isPresent", "problem_": "problemText", "reads_": "readCount",
    "satisfies_": "satisfiesEntry", "snapshot_": "lastSnapshot", "started_": "hasStarted",
    "store_": "certificateStore", "team_": "teamId", "uniqueName_": "assignedName",
    "warm_": "warmEntry", "appeared_": "hasAppeared", "broken_": "isBroken", "done_": "isDone",
    "environment_": "variables", "managerRuns_": "managerSeen", "watching_": "isWatching", "windows_": "windowsHeld", "world_": "e2eWorld",
}

ROOTS = ("Platform/", "tools/", "tests/", "bench/", "fuzz/", "Guard/", "Main/")
KEYWORDS = set("""alignas alignof and asm auto bool break case catch char class concept const
consteval constexpr constinit const_cast continue co_await co_return co_yield decltype default
delete do double dynamic_cast else enum explicit export extern false float for friend goto if
inline int long mutable namespace new noexcept not nullptr operator or private protected public
register reinterpret_cast requires return short signed sizeof static static_assert static_cast
struct switch template this thread_local throw true try typedef typeid typename union unsigned
using virtual void volatile wchar_t while""".split())
MEMBER = re.compile(r"[a-z][A-Za-z0-9]*_$")
TOKEN = re.compile(r"[A-Za-z_][A-Za-z0-9_]*|::|->|&&|[^\sA-Za-z0-9_]|[0-9][A-Za-z0-9_.']*")
QUALIFIERS = {"const", "override", "noexcept", "final", "mutable", "volatile", "&", "&&", "constexpr"}


def mask(text):
    """The text with comments and literals blanked (newlines kept), and the comments' spans."""
    out, comments, i, n = list(text), [], 0, len(text)
    def blank(a, b):
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = " "
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            comments.append((i, j)); blank(i, j); i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            comments.append((i, j)); blank(i, j); i = j
        elif c == "R" and text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            k = text.find("(", i)
            delim = text[i + 2:k]
            j = text.find(")" + delim + '"', k)
            j = n if j < 0 else j + len(delim) + 2
            blank(i, j); i = j
        elif c in "\"'":
            if c == "'" and i > 0 and text[i - 1].isalnum():  # digit separator
                i += 1; continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            blank(i, j + 1); i = j + 1
        elif c == "#" and (i == 0 or text[text.rfind("\n", 0, i) + 1:i].strip() == ""):
            j = text.find("\n", i)  # a directive: includes are not code to rename
            j = n if j < 0 else j
            if re.match(r"#\s*include", text[i:j]):
                blank(i, j)
            i = j
        else:
            i += 1
    return "".join(out), comments


class Tok:
    __slots__ = ("s", "pos", "depth", "paren", "cls", "match")

    def __init__(self, s, pos):
        self.s, self.pos, self.depth, self.paren, self.cls, self.match = s, pos, 0, 0, None, None


def tokenize(masked):
    toks = [Tok(m.group(0), m.start()) for m in TOKEN.finditer(masked)]
    stack, kinds, start = [], [], 0  # open brackets; per open brace: the class it opens, or None
    parens = [0]  # per open brace: the ( and [ open inside it
    for i, t in enumerate(toks):
        t.depth, t.paren, t.cls = len(kinds), parens[-1], kinds[-1] if kinds else None
        if t.s in "([{":
            if t.s == "{":
                head = [x.s for x in toks[start:i]]
                is_class = (any(h in ("class", "struct", "union") for h in head) and "enum" not in head
                            and "template" not in head[:1] + head[-1:] and (not head or head[-1] != ")")
                            and "=" not in head and "(" not in head)
                name = None
                if is_class:
                    kw = max(k for k, h in enumerate(head) if h in ("class", "struct", "union"))
                    name = next((h for h in head[kw + 1:] if is_ident(h) and h not in ("final", "alignas")), "?")
                kinds.append(name)
                parens.append(0)
            else:
                parens[-1] += 1
            stack.append(i)
        elif t.s in ")]}" and stack:
            o = stack.pop()
            toks[o].match, t.match = i, o
            if t.s == "}" and kinds:
                kinds.pop()
                parens.pop()
            elif t.s != "}":
                parens[-1] -= 1
        if t.s in (";", "{", "}"):
            start = i + 1
    return toks


def is_ident(s):
    return re.match(r"[A-Za-z_]\w*$", s) is not None


def typeish(t):
    return (is_ident(t.s) and t.s not in KEYWORDS - {"auto", "int", "bool", "char", "double", "float", "long",
                                                    "short", "unsigned", "signed", "void", "const"}) or t.s in (">", "*", "&", "&&")


def unqualified(toks, i):
    return i == 0 or toks[i - 1].s not in (".", "->", "::")


def class_level(toks, i):
    """The class whose body directly holds token i, or None."""
    return toks[i].cls if toks[i].paren == 0 else None


def scan_classes(files):
    """Per class: its underscore members and every other name it declares."""
    members, names = {}, {}
    for path, (masked, _c, toks, _s) in files.items():
        for i, t in enumerate(toks[:-1]):
            cls = class_level(toks, i)
            if cls is None or not is_ident(t.s) or not unqualified(toks, i):
                continue
            nxt = toks[i + 1].s
            if nxt == "(" or (nxt in (";", "=", "{", "[", ",", ":") and i > 0 and (typeish(toks[i - 1]) or toks[i - 1].s == ",")):
                key = (path.split("/")[-1].split(".")[0], cls)
                if MEMBER.match(t.s) and nxt != "(":
                    members.setdefault(key, set()).add(t.s)
                else:
                    names.setdefault(key, set()).add(t.s)
    return members, names


def choose_names(files, members, names):
    calls = {}  # per file: names called unqualified that are not declared there
    for path, (_m, _c, toks, _s) in files.items():
        calls[path] = {t.s for i, t in enumerate(toks[1:-1], 1)
                       if toks[i + 1].s == "(" and unqualified(toks, i) and not typeish(toks[i - 1])}
    targets, taken_by = {}, {}
    for key, ms in sorted(members.items()):
        for m in sorted(ms):
            bare = m[:-1]
            why = ("a name of its class" if bare in names.get(key, set())
                   else "a keyword" if bare in KEYWORDS else None)
            if why is None:
                users = [p for p in files if m in files[p][3]]
                if any(bare in calls[p] for p in users):
                    why = "called as a function beside it"
            if why:
                taken_by[m] = why
    # A member is renamed the same way in every class that has it (the rename is textual), so
    # its new name must be free in all of them.
    around = {}
    for key, ms in members.items():
        for m in ms:
            around.setdefault(m, set()).update(names.get(key, set()), {x[:-1] for x in ms if x != m})
    for m in sorted(around):
        if m not in taken_by:
            targets[m] = m[:-1]
            continue
        targets[m] = RENAMES.get(m, m[:-1] + "Held")
        if targets[m] in around[m] or targets[m] in KEYWORDS:
            targets[m] = m[:-1] + "Held"
        if targets[m] != RENAMES.get(m):
            print(f"note: {m}: bare name is {taken_by[m]}; using {targets[m]}"
                  " (give it a better name in RENAMES)", file=sys.stderr)
    return targets


def decl_scope(toks, i):
    """The token range a parameter or local declared at i is visible in, and the positions of a
    constructor's mem-initializer names; None when it has no body (a declaration only)."""
    t = toks[i]
    inner = next((k for k in range(i - 1, -1, -1)
                  if toks[k].s in "([{" and toks[k].match is not None and toks[k].match > i), None)
    if inner is None:
        return None
    if toks[inner].s == "{":
        return i, toks[inner].match, set()
    if toks[inner].s != "(":
        return None
    k, n, inits = toks[inner].match + 1, len(toks), set()
    while k < n and (toks[k].s in QUALIFIERS or toks[k].s == "->"):
        if toks[k].s == "->":
            while k < n and toks[k].s not in ("{", ";"):
                k += 1
        else:
            k += 1
    if k < n and toks[k].s == ":":  # a constructor's mem-initializers
        k += 1
        while k < n:
            j = k
            while j < n and toks[j].s not in ("(", "{"):
                j += 1
            if j >= n or toks[j].match is None:
                return None
            inits.add(j - 1)
            k = toks[j].match + 1
            if k < n and toks[k].s == ",":
                k += 1
                continue
            break
    if k < n and toks[k].s == "{" and toks[k].match:
        return i, toks[k].match, inits
    if inner > 0 and toks[inner - 1].s in ("for", "if", "while", "switch", "catch"):
        end = k
        while end < n and not (toks[end].s == ";" and toks[end].depth == t.depth):
            end += 1
        return i, end, set()
    return None


def later_declarator(toks, i):
    """Whether token i, after a comma, is a later name of a declaration (`int in[2], out[2];`)."""
    k = i - 1
    while k > 0 and toks[k - 1].s not in (";", "{", "}") and toks[k - 1].paren >= toks[i].paren:
        k -= 1
    return (toks[k].paren == toks[i].paren and k + 1 < i and typeish(toks[k])
            and toks[k].s not in ("return", "else") and (is_ident(toks[k + 1].s) or toks[k + 1].s in ("*", "&", "<", "::")))


def plan_file(path, masked, comments, toks, targets):
    edits = []  # (pos, old, new)
    present = {t.s for t in toks}
    for m, new in targets.items():
        if m not in present:
            continue
        for i, t in enumerate(toks):
            if t.s != new or not unqualified(toks, i) or i == 0 or i + 1 >= len(toks):
                continue
            if toks[i + 1].s not in (",", ")", "=", "{", ";", ":", "["):
                continue
            if not typeish(toks[i - 1]) and not (toks[i - 1].s == "," and later_declarator(toks, i)):
                continue
            if class_level(toks, i):
                continue
            scope = decl_scope(toks, i)
            if scope is None:
                continue
            a, b, inits = scope
            hides = any(toks[k].s == m and unqualified(toks, k) and k not in inits for k in range(a, b))
            if not hides:
                continue
            param = toks[i].paren > 0
            fresh = ("given" if param else "local") + new[0].upper() + new[1:]
            print(f"note: {path}:{masked.count(chr(10), 0, t.pos) + 1}: {new} would hide the member; renamed {fresh}",
                  file=sys.stderr)
            for k in range(i, b):
                if toks[k].s == new and unqualified(toks, k) and k not in inits:
                    edits.append((toks[k].pos, new, fresh))
    for i, t in enumerate(toks):
        if t.s in targets:
            edits.append((t.pos, t.s, targets[t.s]))
    text_names = [m for m in targets if m in present]
    for a, b in comments:
        for m in text_names:
            for hit in re.finditer(r"(?<![\w])" + re.escape(m) + r"(?![\w])", masked_source[path][a:b]):
                edits.append((a + hit.start(), m, targets[m]))
    return edits


masked_source = {}


def fix_shadows(report):
    """Renames, within its scope, each parameter or local that GCC's -Wshadow reports hiding a
    member (lines "file:line: declaration of 'x' shadows a member of 'C'", as
    scripts/dev/check-shadows.py prints them), but for constructor parameters that only feed the
    mem-initializers. After the rename every use of that name in the scope is the declaration's:
    a use of the member there would have been renamed beforehand."""
    wanted = {}
    for line in open(report, encoding="utf-8"):
        m = re.match(r"(\S+?):(\d+): declaration of .(\w+). shadows a member", line)
        if m:
            wanted.setdefault(m.group(1), set()).add((int(m.group(2)), m.group(3)))
    top = subprocess.run(["git", "rev-parse", "--show-toplevel"], capture_output=True, text=True,
                         check=True).stdout.strip()
    for path, hits in sorted(wanted.items()):
        rel = path[len(top) + 1:] if path.startswith(top + "/") else path
        if rel.startswith("Guard/"):
            continue  # bare from the start: its constructor parameters are named so on purpose
        with open(rel, encoding="utf-8") as f:
            text = f.read()
        masked, _comments = mask(text)
        toks = tokenize(masked)
        edits = {}
        for lineno, name in sorted(hits):
            for i, t in enumerate(toks):
                if t.s != name or masked.count("\n", 0, t.pos) + 1 != lineno or not unqualified(toks, i):
                    continue
                if not (typeish(toks[i - 1]) or toks[i - 1].s == ",") or toks[i + 1].s not in (
                        ",", ")", "=", "{", ";", ":", "["):
                    continue  # a use on the declaration's line, not the declaration
                scope = decl_scope(toks, i)
                if scope is None:
                    continue
                a, b, inits = scope
                uses = [k for k in range(i + 1, b) if toks[k].s == name and unqualified(toks, k) and k not in inits]
                if inits and not any(k > toks[b].match for k in uses):
                    continue  # a constructor's parameter that only feeds its mem-initializers
                fresh = ("given" if t.paren > 0 else "local") + name[0].upper() + name[1:]
                print(f"note: {rel}:{lineno}: {name} hides a member; renamed {fresh}", file=sys.stderr)
                for k in [i] + uses:
                    edits.setdefault(toks[k].pos, (name, fresh))
                break  # the first declaration of that name on that line
        for pos in sorted(edits, reverse=True):
            old, new = edits[pos]
            text = text[:pos] + new + text[pos + len(old):]
        with open(rel, "w", encoding="utf-8") as f:
            f.write(text)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--fix-shadows":
        fix_shadows(sys.argv[2])
        return
    dry = "--dry-run" in sys.argv
    paths = subprocess.run(["git", "ls-files", "*.h", "*.hpp", "*.cpp", "*.cc", "*.inc"],
                           capture_output=True, text=True, check=True).stdout.split()
    files = {}
    for p in paths:
        with open(p, encoding="utf-8") as f:
            text = f.read()
        masked, comments = mask(text)
        masked_source[p] = text
        toks = tokenize(masked)
        files[p] = (masked, comments, toks, {t.s for t in toks})
    declared = {k: v for k, v in scan_classes({p: f for p, f in files.items() if p.startswith(ROOTS)})[0].items()}
    _, names = scan_classes(files)
    targets = choose_names(files, declared, names)
    results = {}
    for p, (masked, comments, toks, _s) in files.items():
        first = {}  # one edit per place: the first declaration that claims it
        for pos, old, new in plan_file(p, masked, comments, toks, targets):
            first.setdefault(pos, (old, new))
        if not first:
            continue
        text = masked_source[p]
        for pos in sorted(first, reverse=True):
            old, new = first[pos]
            assert text[pos:pos + len(old)] == old, (p, pos, old)
            text = text[:pos] + new + text[pos + len(old):]
        results[p] = text
    changed = len(results)
    for p, text in results.items():
        if not dry:
            with open(p, "w", encoding="utf-8") as f:
                f.write(text)
    print(f"{len(targets)} members, {changed} files {'would change' if dry else 'changed'}", file=sys.stderr)


if __name__ == "__main__":
    main()
