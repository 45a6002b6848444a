#!/usr/bin/env bash
# The permission report inside the desktop: accessibility starts switched off
# (as on a fresh Linux session), "permissions" switches it on.
. "$(dirname "$0")/lib.sh"

section "Permissions inside the headless desktop ($DISPLAY)"
note "status: what is granted now"
ask '{"operation":"status"}'
note "permissions: turns accessibility on (org.a11y.Status.IsEnabled), then reports"
ask '{"operation":"permissions"}'
note "status again: both granted"
ask '{"operation":"status"}'
