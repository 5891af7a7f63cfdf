# The boards this project builds a lights module for: the one list that the modules,
# the generated <quorvel/boards.h>, the benchmarks, the scripts and the target image
# follow. A board lives in lights/<board>/: its variant source, and board.cmake with
# what its module must show from outside (ledsim profile, ModuleInfo texts, exports).
set(QUORVEL_BOARDS pavok quillano)

# lights_<board> for every board: the module targets, for dependencies and
# $<TARGET_FILE:...> lists.
list(TRANSFORM QUORVEL_BOARDS PREPEND lights_ OUTPUT_VARIABLE QUORVEL_LIGHTS_MODULES)
