#!/usr/bin/env bash
# Installs ical.js (the vCard parser Thunderbird uses; a test-only tool) from the npm registry into
# DIR/node_modules, once. Usage: install-icaljs.sh DIR
set -euo pipefail
dir=$1
version=2.2.1
if [ -f "$dir/node_modules/ical.js/package.json" ] &&
    grep -q "\"version\": \"$version\"" "$dir/node_modules/ical.js/package.json"; then
    exit 0
fi
mkdir -p "$dir"
npm install --no-save --no-audit --no-fund --prefix "$dir" "ical.js@$version"
