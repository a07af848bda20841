"""The documentation's links hold: every relative link and `#anchor` in
README.md, CHANGELOG.md and docs/*.md points at a file, and a heading of it,
that exist; every `make <target>` they name in a code span or a shell block
(```sh) is a rule of the Makefile or mk/*.mk. Anchors follow the usual heading slugs of Markdown renderers:
lowercase, punctuation dropped, spaces to hyphens, repeats suffixed -1, -2.

Pure file reading: the Makefile is parsed, not run.
"""

import collections
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", ROOT / "CHANGELOG.md", *sorted((ROOT / "docs").glob("*.md"))]

FENCE = re.compile(r"^ {0,3}(`{3,}|~{3,})")
SHELL_BLOCKS = {"sh", "shell", "bash", "console"}
CODE_SPAN = re.compile(r"(`+)(.+?)\1")
HEADING = re.compile(r"^ {0,3}#{1,6}\s+(.*?)\s*#*\s*$")
HTML_ANCHOR = re.compile(r"<a\s+(?:id|name)=\"([^\"]+)\"")
# [text](target "title") and ![alt](target); text may hold one level of brackets.
INLINE_LINK = re.compile(r"!?\[(?:[^\[\]]|\[[^\]]*\])*\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE_DEFINITION = re.compile(r"^ {0,3}\[[^\]]+\]:\s*<?([^\s>]+)>?")
SCHEME = re.compile(r"^[a-zA-Z][a-zA-Z0-9+.-]*:")
# `make VAR=value -k target ...`: the first word that is neither an option nor
# an assignment is the target.
MAKE_CALL = re.compile(r"(?:^|[\s;&|(])make((?:\s+(?:-\S+|[A-Za-z_]\w*=\S*))*)\s+([a-z][\w.-]*)")
MAKE_RULE = re.compile(r"^([^\s#=:][^#=:]*?)\s*::?(?:\s|$)")


def _blocks(text):
    """(prose lines, shell lines): the lines outside fenced blocks, with their
    code spans, and the lines of the fenced blocks marked as shell commands."""
    prose, shell, fence, is_shell = [], [], None, False
    for line in text.splitlines():
        opened = FENCE.match(line)
        if fence is None and opened:
            fence = opened.group(1)
            is_shell = line[opened.end():].strip() in SHELL_BLOCKS
        elif fence is not None and line.strip().startswith(fence):
            fence = None
        elif fence is None:
            prose.append(line)
        elif is_shell:
            shell.append(line)
    return prose, shell


def slug(heading):
    text = CODE_SPAN.sub(lambda m: m.group(2), heading)
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", text)
    text = re.sub(r"<[^>]+>", "", text).strip().lower()
    return re.sub(r"[^\w\- ]", "", text).replace(" ", "-")


def anchors(page):
    prose, _ = _blocks(page.read_text(encoding="utf-8"))
    seen, found = collections.Counter(), set()
    for line in prose:
        found.update(HTML_ANCHOR.findall(line))
        heading = HEADING.match(line)
        if heading:
            base = slug(heading.group(1))
            found.add(base if not seen[base] else f"{base}-{seen[base]}")
            seen[base] += 1
    return found


def link_problems(page):
    prose, _ = _blocks(page.read_text(encoding="utf-8"))
    targets = []
    for line in prose:
        line = CODE_SPAN.sub("", line)
        targets += INLINE_LINK.findall(line) + REFERENCE_DEFINITION.findall(line)
    problems = []
    for target in targets:
        if SCHEME.match(target):
            continue
        path, _, anchor = target.partition("#")
        resolved = (page.parent / path).resolve() if path else page
        if not resolved.exists():
            problems.append(f"{target}: no such file")
        elif anchor and (resolved.suffix != ".md" or anchor not in anchors(resolved)):
            problems.append(f"{target}: no such heading")
    return problems


def make_targets(root):
    targets = set()
    for makefile in [root / "Makefile", *sorted((root / "mk").glob("*.mk"))]:
        continued = False
        for line in makefile.read_text(encoding="utf-8").splitlines():
            rule = None if continued else MAKE_RULE.match(line)
            if rule:
                targets.update(rule.group(1).split())
            continued = line.endswith("\\")
    return targets


def named_targets(page):
    prose, shell = _blocks(page.read_text(encoding="utf-8"))
    commands = [span for line in prose for _, span in CODE_SPAN.findall(line)]
    commands += [line.split(" #")[0] for line in shell]
    return {match.group(2) for command in commands for match in MAKE_CALL.finditer(command)}


@pytest.mark.parametrize("page", PAGES, ids=lambda page: str(page.relative_to(ROOT)))
def test_links_and_anchors_point_somewhere(page):
    assert page.is_file()
    assert link_problems(page) == []


@pytest.mark.parametrize("page", PAGES, ids=lambda page: str(page.relative_to(ROOT)))
def test_make_targets_named_exist(page):
    assert sorted(named_targets(page) - make_targets(ROOT)) == []


def test_checker_sees_what_points_nowhere(tmp_path):
    (tmp_path / "mk").mkdir()
    (tmp_path / "Makefile").write_text("X := a:b\nbuild test: deps\n\t@echo x: y\n-include mk/*.mk\n")
    (tmp_path / "mk" / "more.mk").write_text("LIST := \\\n\tnot-a-rule: x\nwheel-%: x\n.PHONY: lint\n")
    page = tmp_path / "page.md"
    page.write_text(
        "# Using `mysum(a, b)`\n## Errors\n## Errors\n"
        "[ok](#using-mysuma-b) [ok](#errors-1) [ok](page.md#errors) [ok](https://example.invalid/x)\n"
        "[bad](#errors-2) [bad](missing.md) [bad](page.md#nowhere) `[not a link](gone.md)`\n"
        "```sh\n# [not a link](gone.md)\nmake VERBOSE=1 build   # make nothing\nmake deploy\n```\n"
        "```\ntree/    further make targets\n```\n"
        "Run `make test PYVER=3.15`, `make not-a-rule` and `make lint`; make the most of it.\n"
    )
    assert link_problems(page) == [
        "#errors-2: no such heading", "missing.md: no such file", "page.md#nowhere: no such heading"
    ]
    assert sorted(named_targets(page) - make_targets(tmp_path)) == ["deploy", "lint", "not-a-rule"]
