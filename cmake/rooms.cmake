# The rooms of the launcher's library, from the bottom up, and the rooms each one may use
# (include headers of). The direction is one way: a room uses only rooms listed before
# it, so base/ serves everyone and app/ is served by everyone. cmake/room_check.cmake
# holds every file of every room to this table (the ctest test room_dependencies).
set(QUENZA_ROOMS base resources fs json env exec http ui ota install app)

set(QUENZA_ROOM_USES_base "")
set(QUENZA_ROOM_USES_resources base)
set(QUENZA_ROOM_USES_fs base)
set(QUENZA_ROOM_USES_json base)
set(QUENZA_ROOM_USES_env base fs)
set(QUENZA_ROOM_USES_exec base fs)
set(QUENZA_ROOM_USES_http base resources)
set(QUENZA_ROOM_USES_ui base fs resources)
set(QUENZA_ROOM_USES_ota base env http json)
set(QUENZA_ROOM_USES_install base env exec fs http ota)
set(QUENZA_ROOM_USES_app base resources fs json env exec http ui ota install)
