#!/usr/bin/env bash
# Builds the documentation site into site/ (open site/index.html), strict:
# a broken link, a missing page or an unknown anchor fails the build.
# Installs vexa into .venv as the other scripts do (the reference pages are
# made from the installed package), adds the `docs` extra (MkDocs and its
# material theme, from PyPI) when missing, writes the generated reference
# pages (the API page with the other files generated from the declarations in
# api/, the CLI page by scripts/docs_reference.py), then builds. Nothing is fetched at build
# time. Extra arguments go to `mkdocs build` (e.g. --site-dir DIR).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/_venv.sh"

# The `docs` extra of pyproject.toml, one requirement per line.
docs_requires="$("$VEXA_PYTHON_BIN" - "$VEXA_ROOT/pyproject.toml" <<'PYTHON'
import ast, re, sys
text = open(sys.argv[1], encoding="utf-8").read()
match = re.search(r"^docs\s*=\s*(\[[^\]]*\])", text, re.M)
if match is None:
    sys.exit("error: no docs extra in pyproject.toml")
print("\n".join(ast.literal_eval(match.group(1))))
PYTHON
)"
mapfile -t requires <<<"$docs_requires"
missing_text="$(_vexa_unsatisfied "${requires[@]}")"
if [ -n "$missing_text" ]; then
    mapfile -t missing <<<"$missing_text"
    echo "Installing ${missing[*]} into ${VEXA_VENV##*/}"
    _vexa_quiet "$VEXA_PYTHON_BIN" -m pip install -q "${missing[@]}"
fi

cd "$VEXA_ROOT"
"$VEXA_PYTHON_BIN" -m api.generate
"$VEXA_PYTHON_BIN" scripts/docs_reference.py
started=$SECONDS
# The theme's notice about MkDocs 2.0 is for its own users; the extra pins MkDocs 1.
NO_MKDOCS_2_WARNING=1 "$VEXA_PYTHON_BIN" -m mkdocs build --strict --quiet "$@"
echo "Built the documentation into site/ in $((SECONDS - started)) s: open site/index.html"
