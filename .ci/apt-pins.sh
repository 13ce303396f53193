# Installing through pins found from apt's own simulation; sourced by .ci/run
# (and by .ci/test-apt-pins, which replays apt's answers). Needs bash.

# Reads apt-get output; prints each package it reports as "not going to be
# installed", once, without its architecture.
unresolved_packages() {
  sed -n 's/.*Depends: \([^ :]*\)\(:[^ ]*\)\{0,1\} .*but it is not going to be installed.*/\1/p' | sort -u
}

# Installs "$@" from the release named in /etc/os-release, adding pins found
# from apt's simulation, one round at a time (a pinned library may in turn
# report its own dependencies), until the simulation succeeds. Prints the pins.
# With RVSYS_CI_APT_SIMULATE=1 it stops after the simulation.
install_with_pins() {
  local codename
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  local apt=(apt-get install -y --no-install-recommends -t "$codename" --allow-downgrades)
  local pins=() pinned=" " output name version progress round
  for ((round = 1; round <= 10; round++)); do
    if output=$(LC_ALL=C "${apt[@]}" -s "$@" "${pins[@]}" 2>&1); then
      echo "installing $* from $codename, pinned: ${pins[*]:-nothing}"
      [[ ${RVSYS_CI_APT_SIMULATE:-0} == 1 ]] && return 0
      "${apt[@]}" "$@" "${pins[@]}"
      return
    fi
    progress=0
    for name in $(unresolved_packages <<<"$output"); do
      [[ $pinned == *" $name "* ]] && continue
      version=$(LC_ALL=C apt-cache -t "$codename" policy "$name:i386" | sed -n 's/^ *Candidate: //p')
      [[ -n $version && $version != "(none)" ]] || continue
      pins+=("$name=$version" "$name:i386=$version")
      pinned+="$name "
      progress=1
    done
    if ((!progress)); then
      echo "$output"
      echo "no pin resolves this (pinned so far: ${pins[*]:-nothing})"
      return 1
    fi
  done
  echo "$output"
  return 1
}
