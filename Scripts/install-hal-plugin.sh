#!/usr/bin/env bash
# Installs the Corvessa Mic plug-in and its audio-server daemon for the current user and starts
# the daemon, so that "Corvessa Mic" appears as an input of the user's sound server.
#
#   Scripts/install-hal-plugin.sh [--build-dir DIR]     install (again) and (re)start
#   Scripts/install-hal-plugin.sh --uninstall           stop and remove what was installed
#
# Files (prefix ~/.local):
#   bin/corvessa-audio-server
#   lib/corvessa/libcorvessa_hostclock.so
#   lib/corvessa/AmberlinHALPlugin/libAmberlinHALPlugin.so, Info.plist
#   ${XDG_DATA_HOME:-~/.local/share}/corvessa/installed-files   (what --uninstall removes)
# The daemon runs as a systemd user service (corvessa-audio-server.service, in
# ${XDG_CONFIG_HOME:-~/.config}/systemd/user) where a user manager answers, otherwise as a
# background process with its pid file and log in ${XDG_STATE_HOME:-~/.local/state}/corvessa.
# CORVESSA_INSTALL_SERVICE=systemd|process forces one of the two.
#
# Running it again stops the daemon, installs the current build over the old files and starts
# the daemon on them: the result is the same single daemon.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="$here/build/release"
action=install

usage() { sed -n '2,19p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; }

while [[ $# -gt 0 ]]; do
  case "$1" in
    --build-dir) build_dir="$2"; shift 2 ;;
    --build-dir=*) build_dir="${1#*=}"; shift ;;
    --uninstall) action=uninstall; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "install-hal-plugin.sh: unknown argument '$1'" >&2; usage >&2; exit 2 ;;
  esac
done
[[ "$build_dir" = /* ]] || build_dir="$PWD/$build_dir"

prefix="$HOME/.local"
data_dir="${XDG_DATA_HOME:-$HOME/.local/share}/corvessa"
state_dir="${XDG_STATE_HOME:-$HOME/.local/state}/corvessa"
unit_dir="${XDG_CONFIG_HOME:-$HOME/.config}/systemd/user"
unit_name=corvessa-audio-server.service
manifest="$data_dir/installed-files"
pid_file="$state_dir/audio-server.pid"
log_file="$state_dir/audio-server.log"
daemon="$prefix/bin/corvessa-audio-server"

say() { echo "install-hal-plugin.sh: $*"; }

service_mode() {
  case "${CORVESSA_INSTALL_SERVICE:-auto}" in
    systemd|process) echo "$CORVESSA_INSTALL_SERVICE" ;;
    *) if command -v systemctl >/dev/null && systemctl --user show-environment >/dev/null 2>&1; then
         echo systemd
       else
         echo process
       fi ;;
  esac
}

# The pid in the pid file, if that process is our installed daemon.
running_pid() {
  [[ -f "$pid_file" ]] || return 1
  local pid
  pid="$(cat "$pid_file" 2>/dev/null)" || return 1
  [[ "$pid" =~ ^[0-9]+$ ]] || return 1
  # The executable of a daemon whose file was replaced reads "<path> (deleted)".
  local exe
  exe="$(readlink "/proc/$pid/exe" 2>/dev/null)" || return 1
  [[ "$exe" == "$(readlink -m "$daemon")" || "$exe" == "$(readlink -m "$daemon") (deleted)" ]] || return 1
  echo "$pid"
}

stop_process() {
  local pid waited=0
  if pid="$(running_pid)"; then
    kill -TERM "$pid" 2>/dev/null || true
    while kill -0 "$pid" 2>/dev/null && [[ $waited -lt 50 ]]; do sleep 0.1; waited=$((waited + 1)); done
    kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -f "$pid_file"
}

stop_daemon() {
  if [[ -f "$unit_dir/$unit_name" ]] && command -v systemctl >/dev/null; then
    systemctl --user disable --now "$unit_name" >/dev/null 2>&1 || true
  fi
  stop_process
}

start_process() {
  mkdir -p "$state_dir"
  setsid "$daemon" --pid-file "$pid_file" </dev/null >>"$log_file" 2>&1 &
  local waited=0
  until running_pid >/dev/null; do
    if [[ $waited -ge 100 ]]; then
      say "the daemon did not start; see $log_file" >&2
      exit 1
    fi
    sleep 0.1; waited=$((waited + 1))
  done
  say "daemon running (pid $(running_pid), log $log_file)"
}

start_systemd() {
  mkdir -p "$unit_dir"
  cat >"$unit_dir/$unit_name" <<EOF
[Unit]
Description=Corvessa Mic: publishes the Corvessa plug-in's microphone to the sound server
After=pulseaudio.service pipewire-pulse.service

[Service]
ExecStart=$daemon
Restart=on-failure
RestartSec=2

[Install]
WantedBy=default.target
EOF
  echo "$unit_dir/$unit_name" >>"$manifest"
  systemctl --user daemon-reload
  systemctl --user enable "$unit_name" >/dev/null 2>&1
  systemctl --user restart "$unit_name"
  say "daemon running as the user service $unit_name"
}

build_if_missing() {
  if [[ -x "$build_dir/Sources/AudioServer/corvessa-audio-server" &&
        -f "$build_dir/hal-plugin/libAmberlinHALPlugin.so" ]]; then
    return
  fi
  say "building the plug-in and the daemon in $build_dir"
  if [[ ! -f "$build_dir/CMakeCache.txt" ]]; then
    if [[ "$build_dir" == "$here/build/release" ]]; then
      (cd "$here" && cmake --preset release >/dev/null)
    else
      cmake -S "$here" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    fi
  fi
  cmake --build "$build_dir" --target corvessa-audio-server AmberlinHALPlugin
}

remove_installed_files() {
  [[ -f "$manifest" ]] || return 0
  local file dir
  while IFS= read -r file; do
    [[ -n "$file" ]] && rm -f "$file"
  done <"$manifest"
  # Folders that only held our files go too; shared ones (bin, lib, systemd/user) stay.
  for dir in "$prefix/lib/corvessa/AmberlinHALPlugin" "$prefix/lib/corvessa"; do
    rmdir "$dir" 2>/dev/null || true
  done
  rm -f "$manifest" "$log_file"
  rmdir "$data_dir" "$state_dir" 2>/dev/null || true
}

do_install() {
  build_if_missing
  stop_daemon  # a running daemon must not see its files replaced under it
  remove_installed_files
  mkdir -p "$data_dir"
  local installed
  installed="$(cmake --install "$build_dir" --prefix "$prefix" --component audio_server)"
  # cmake reports each file it installs; those are exactly the files to remove later.
  sed -n 's/^-- \(Installing\|Up-to-date\): //p' <<<"$installed" >"$manifest"
  say "installed into $prefix ($(wc -l <"$manifest") files)"
  if [[ "$(service_mode)" == systemd ]]; then
    start_systemd
  else
    start_process
  fi
}

do_uninstall() {
  stop_daemon
  rm -f "$unit_dir/$unit_name"
  if [[ "$(service_mode)" == systemd ]]; then
    systemctl --user daemon-reload >/dev/null 2>&1 || true
  fi
  remove_installed_files
  say "uninstalled"
}

"do_$action"
