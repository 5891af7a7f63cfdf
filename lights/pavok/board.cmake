# The pavok board: an RGB indicator and a trackball light with its own blink attribute.
set(BOARD_PROFILE "rgb+trackball")
set(BOARD_MODULE_NAME "Pavok lights Module")
set(BOARD_MODULE_AUTHOR "Tavirel, Inc.")
# The path global this board's module exports beside the shared ones.
set(BOARD_EXPORT TRACKBALL_BLINK_FILE)
