#!/usr/bin/env bash
# Checks the project's GitHub Actions workflows offline with GitHub's own
# parser, @actions/workflow-parser (a call's inputs against the workflow it
# calls included), and with the project's rules for their structure
# (check_workflows.js), and checks that each deliberately faulty workflow in
# faulty/ is rejected.
#
# The parser is an ES module that imports its JSON schema without an import
# attribute, which Node refuses, so esbuild bundles it once into CommonJS.
# Both come from npm at the versions pinned in package-lock.json here,
# installed with `npm ci` into build/workflow-check; they are installed and
# bundled again only when the lockfile changes. Node.js is the machine's
# own; where there is none, Debian's nodejs and npm are installed.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib.sh"

here=$VELMORA_ROOT/tests/workflows
work=$VELMORA_BUILD/workflow-check
bundle=$work/workflow-parser.cjs

# Installs the pinned parser and esbuild and writes the bundle; the
# lockfile is copied last, so an interrupted install is redone next time.
install_parser() {
    say "Installing GitHub's workflow parser (npm ci) and bundling it"
    rm -rf "$work" && mkdir -p "$work" || return 1
    cp "$here/package.json" "$here/package-lock.json" "$work/" || return 1
    # No install scripts: esbuild's only fetches the binary that its
    # platform package, in the lockfile, already brings.
    (cd "$work" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error) || return 1
    "$work/node_modules/.bin/esbuild" "$work/node_modules/@actions/workflow-parser/dist/index.js" \
        --bundle --platform=node --format=cjs --target=node18 --log-level=warning \
        --outfile="$bundle.new" || return 1
    mv "$bundle.new" "$bundle" && cp "$here/package-lock.json" "$work/package-lock.stamp"
}

ensure_packages $(node_packages) || exit 1
if [ ! -f "$bundle" ] || ! cmp -s "$here/package-lock.json" "$work/package-lock.stamp"; then
    install_parser || { echo "check.sh: could not install the workflow parser" >&2; exit 1; }
fi

cd "$VELMORA_ROOT" || exit 1
shopt -s nullglob
status=0
node "$here/check_workflows.js" "$bundle" .github/workflows/*.{yml,yaml} || status=1
node "$here/check_workflows.js" "$bundle" --faulty tests/workflows/faulty/*.yml || status=1
exit $status
