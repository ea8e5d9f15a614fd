#!/usr/bin/env bash
# Runs the miner in its folder: the options h-config.sh wrote, the API on loopback for h-stats.sh,
# its own dated log file (HiveOS rotates it).
cd "$(dirname "${BASH_SOURCE[0]}")" || exit 1
. ./h-manifest.conf
mkdir -p "$(dirname "$CUSTOM_LOG_BASENAME")"
# shellcheck disable=SC2046  # the options are words
exec ./corvane-miner $(cat "$CUSTOM_CONFIG_FILENAME") --api "127.0.0.1:$MINER_API_PORT" \
    --log-file "$CUSTOM_LOG_BASENAME.log"
