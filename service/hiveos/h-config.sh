#!/usr/bin/env bash
# Called by HiveOS before each start, with the flight sheet in scope: writes the miner's options.
# Pool URL (CUSTOM_URL): the bridge as HOST:PORT; Extra config (CUSTOM_USER_CONFIG): more options,
# e.g. "--gpu 0,1 --temp-limit 80".
. "$(dirname "${BASH_SOURCE[0]}")/h-manifest.conf"
bridge=${CUSTOM_URL:-127.0.0.1:5002}
bridge=${bridge#*://}
options="--host ${bridge%:*} --port ${bridge##*:} ${CUSTOM_USER_CONFIG}"
mkdir -p "$(dirname "$CUSTOM_CONFIG_FILENAME")"
echo "$options" > "$CUSTOM_CONFIG_FILENAME"
