#!/usr/bin/env bash
# Sourced by the HiveOS agent: sets khs (the total rate, kH/s) and stats (per card: rates, core
# temperatures, fans and PCI bus numbers; accepted and rejected solutions; uptime; version) from the
# miner's /summary. A miner that does not answer gives khs=0 and stats=null.
[[ -z $MINER_API_PORT ]] && . "$(dirname "${BASH_SOURCE[0]}")/h-manifest.conf"
summary=$(curl -s --max-time 2 "http://127.0.0.1:${MINER_API_PORT}/summary")
khs=0
stats=null
if [[ -n $summary ]] && echo "$summary" | jq -e .gpus > /dev/null 2>&1; then
    khs=$(echo "$summary" | jq '.rates."60s" / 1000')
    stats=$(echo "$summary" | jq -c '
        def hex: ascii_downcase | explode | reduce .[] as $c (0; . * 16 + (if $c >= 97 then $c - 87 else $c - 48 end));
        {hs: [.gpus[].rates."60s" / 1000], hs_units: "khs",
         temp: [.gpus[].telemetry.core_temperature_c // 0 | round],
         fan: [.gpus[].telemetry.fan_percent // 0 | round],
         bus_numbers: [.gpus[].pci_bus_id | split(":")[1] | hex],
         ar: [.totals.verdicts.accepted, .totals.verdicts.rejected],
         uptime: (.uptime_s | floor), ver: .version, algo: "corvane"}')
fi
