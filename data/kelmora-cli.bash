# bash completion for kelmora-cli                                -*- shell-script -*-

_kelmora_cli() {
  # Plain COMP_WORDS, so the script needs nothing from bash-completion.
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
  local -a words=("${COMP_WORDS[@]}")
  local cword=$COMP_CWORD

  local command="" i
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      backup | restore | list | test | repair | protect)
        command=${words[i]}
        break
        ;;
    esac
  done

  case $prev in
    -l | --level)
      [[ $command == backup ]] && { COMPREPLY=($(compgen -W 'fastest none default max' -- "$cur")); return; }
      ;;
    -m | --mode)
      COMPREPLY=($(compgen -W 'all no-overwrite newer existing existing-newer' -- "$cur"))
      return
      ;;
    -v | --volume-size)
      COMPREPLY=($(compgen -W '0 64k 100m 700m 1g' -- "$cur"))
      return
      ;;
    -t | --title | -i | --include | --threads | --recovery)
      return
      ;;
  esac

  if [[ -z $command ]]; then
    if [[ $cur == -* ]]; then
      COMPREPLY=($(compgen -W '--help --version' -- "$cur"))
    else
      COMPREPLY=($(compgen -W 'backup restore list test repair protect' -- "$cur"))
    fi
    return
  fi

  if [[ $cur == -* ]]; then
    local options
    case $command in
      backup) options='--level --volume-size --title --file-ids --incremental --clear-archive-flag --verify --hidden --skip-unreadable --no-companion --recovery --dereference --force --quiet --progress --threads --help' ;;
      restore) options='--mode --relative --flat --full-path --include --keep-damaged --same-owner --no-same-owner --same-permissions --no-same-permissions --quiet --progress --threads --help' ;;
      list) options='--long --json --summary --help' ;;
      test) options='--quiet --progress --threads --help' ;;
      repair) options='--dry-run --quiet --progress --help' ;;
      protect) options='--quiet --progress --threads --help' ;;
    esac
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
    return
  fi
  COMPREPLY=($(compgen -f -- "$cur"))
} &&
  complete -o filenames -F _kelmora_cli kelmora-cli

# ex: filetype=sh
