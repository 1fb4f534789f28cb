# shellcheck shell=bash
# Shared by the end-to-end scripts: each builds real launcher files with the host setup_packer (or,
# for damage setup_packer refuses to make, the chain maker), runs them under Wine and Xvfb as a
# user would, answers their windows through the UI driver and uses the recording program as the
# payload's command. Source it with the script's arguments:
#
#   SCRIPT BUILD_DIR LAUNCHER_EXE HOST_SETUP_PACKER RECORDER_EXE UI_DRIVER_EXE HOST_CHAIN_MAKER
#
# then call e2e_start NAME; the helpers are those of testing/wine/harness.sh.

# The variables set here are read by the scripts that source this file.
# shellcheck disable=SC2034

build_dir=$(realpath "${1:?build directory}")
launcher=$(realpath "${2:?setup_launcher.exe}")
packer=$(realpath "${3:?host setup_packer}")
recorder=$(realpath "${4:?record_command_test.exe}")
ui_driver=$(realpath "${5:?ui_driver.exe}")
chain_maker=$(realpath "${6:?host corpus_generator, the chain maker}")

# shellcheck source-path=SCRIPTDIR source=../wine/harness.sh
source "$(dirname "${BASH_SOURCE[0]}")/../wine/harness.sh"

e2e_start() { wine_script_start "$1" en_US.UTF-8 de_DE.UTF-8; }
e2e_finish() { wine_script_finish; }
