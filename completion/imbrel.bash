# Bash completion for imbrel, imbrel-module and imbrel-bin. Installed as
# share/bash-completion/completions/{imbrel,imbrel-module,imbrel-bin}.

_imbrel_words() {
  local cur=$1; shift
  COMPREPLY=($(compgen -W "$*" -- "$cur"))
}

_imbrel() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  case $prev in
    --module|--usb) COMPREPLY=($(compgen -d -- "$cur")); return ;;
    --ui) _imbrel_words "$cur" terminal console; return ;;
    --answer) _imbrel_words "$cur" ok cancel yes no; return ;;
    --pace) _imbrel_words "$cur" fast real; return ;;
    --open) return ;;
  esac
  _imbrel_words "$cur" --module --ui --answer --open --pace --no-wait --summary --usb --version \
    --help -- /u /f /fu /c /cu /r /rc
}

_imbrel_module() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  local commands="create info erase write verify read dump map fault"
  local command="" i
  for ((i = 1; i < COMP_CWORD; ++i)); do
    [[ " $commands " == *" ${COMP_WORDS[i]} "* ]] && command=${COMP_WORDS[i]} && break
  done
  if [[ -z $command ]]; then
    _imbrel_words "$cur" $commands --no-wait --version --help
    return
  fi
  case $prev in
    -o|--output|--bin) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    --times) _imbrel_words "$cur" typical maximum varied; return ;;
    --on) _imbrel_words "$cur" erase program; return ;;
  esac
  local options=""
  case $command in
    create) options="--nor --nand --chip --part --device --cfi-size --times --seed --blank
      --factory-bad-blocks --bootloader-version --bootloader-banner --bootloader-time
      --bootloader-place --bootloader-size --no-bootloader --config-block --no-config-block
      --old-config-place --image-place --image-size --image-time --no-image --item0 --no-item0
      --item5 --no-item5 --image-version --no-image-version --fdf-time --no-fdf --mem-base
      --mem-len --no-samples --no-registry" ;;
    write) options="--erase" ;;
    verify) options="--bin" ;;
    info) options="--json" ;;
    read) options="-o --output" ;;
    dump) options="--logical --raw -o --output" ;;
    map) options="--svg" ;;
    fault) options="--bad-block --on --bit-flip --byte --bit --never-ready --power-cut-after
      --remove --clear" ;;
  esac
  if [[ $cur == -* ]]; then
    _imbrel_words "$cur" $options --no-wait --help
  else
    COMPREPLY=($(compgen -f -- "$cur"))
  fi
}

_imbrel_bin() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  local command="" i
  for ((i = 1; i < COMP_CWORD; ++i)); do
    [[ ${COMP_WORDS[i]} == info || ${COMP_WORDS[i]} == make ]] && command=${COMP_WORDS[i]} && break
  done
  case $prev in
    --module) COMPREPLY=($(compgen -d -- "$cur")); return ;;
    -o|--output|--raw) COMPREPLY=($(compgen -f -- "$cur")); return ;;
  esac
  case $command in
    "") _imbrel_words "$cur" info make --version --help ;;
    info)
      if [[ $cur == -* ]]; then
        _imbrel_words "$cur" --image-offset --item5 --flash-size --module --json --help
      else
        COMPREPLY=($(compgen -f -- "$cur"))
      fi ;;
    make) _imbrel_words "$cur" -o --output --start --length --entry --record --raw --at --chunk \
      --allow-overlap --help ;;
  esac
}

complete -F _imbrel imbrel
complete -F _imbrel_module imbrel-module
complete -F _imbrel_bin imbrel-bin
