# The quillano board: an automatic-brightness attribute beside the LCD level, here
# on the amber/green indicator pair the examples show it with.
set(BOARD_PROFILE "amber+lcd-auto")
set(BOARD_MODULE_NAME "Quillano lights Module")
set(BOARD_MODULE_AUTHOR "Tavirel, Inc. - Selvarin")
# The path global this board's module exports beside the shared ones.
set(BOARD_EXPORT LCD_AUTO_FILE)
