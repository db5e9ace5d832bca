# The product an updater is built for: every value that names the game, in
# one file. Another game's studio copies this file, edits the values and
# configures with -DUPDATER_PRODUCT=path/to/its/copy (a relative path counts
# from the source folder); everything else stays as it is.

# The title in 『』 in the player's boxes, and the shorter one the completion
# box names.
set(UPDATER_TITLE "Tessaran 体験版")
set(UPDATER_SHORT_TITLE "Tessaran")
# The version the update installs, and the label the boxes show after the
# title where no update names its own (empty: the plain question).
set(UPDATER_VERSION "1.0.1.0")
set(UPDATER_VERSION_LABEL "(1.0.1.0)")
# The game's program, which must be in the folder the updater runs in for
# the game to count as installed.
set(UPDATER_ENGINE_PROGRAM "tavro.exe")
# The name of the hold one install takes on a game folder (the updater and
# `updatepkg extract` alike).
set(UPDATER_INSTALL_LOCK "TessaranUpdate")
# The Windows program's manifest: its identity, version and description.
set(UPDATER_MANIFEST_NAME "Velmor.Tessaran.Updater")
set(UPDATER_MANIFEST_VERSION "1.0.0.0")
set(UPDATER_DESCRIPTION "Tessaran update program")
# The Windows program's icon (a relative path counts from the source folder).
set(UPDATER_ICON "resources/updater.ico")
