#!/bin/sh
# Every #include "..." under src/ must point to the file's own layer or one
# below it; the command-line tool never includes the main window.
# Prints each include that does not, and exits 1 if there is one.
cd "$(dirname "$0")/../src" || exit 2
rank() {
    case $1 in
    core/text/*) echo 0 ;; core/link/*) echo 1 ;; core/protocol/*) echo 2 ;;
    core/modem/*) echo 3 ;; core/config/*) echo 4 ;; sim/*) echo 5 ;;
    session/*) echo 6 ;; sites/*) echo 7 ;; ui/lang/*) echo 8 ;; ui/widgets/*) echo 9 ;;
    ui/dialogs/*) echo 10 ;; ui/pages/*) echo 11 ;; ui/window/*) echo 12 ;;
    cli/*) echo 13 ;; *) echo unknown ;;
    esac
}
bad=0
for f in $(find . -name '*.h' -o -name '*.cpp' | sed 's#^\./##' | sort); do
    from=$(rank "$f")
    for inc in $(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$f"); do
        case $inc in */*) ;; *) continue ;; esac   # generated files beside the source
        to=$(rank "$inc")
        if [ "$from" = unknown ] || [ "$to" = unknown ] || [ "$to" -gt "$from" ] ||
            { case $f in cli/*) true ;; *) false ;; esac && case $inc in ui/window/*) true ;; *) false ;; esac; }; then
            echo "$f includes $inc"
            bad=1
        fi
    done
done
exit $bad
