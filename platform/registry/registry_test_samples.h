// Registry files in the form Wine writes them, for the registry tests: a machine
// file with every kind of value, escapes, a wrapped binary value, a class line, a
// comment and the CurrentControlSet link, and a user file and a default-user file.
#pragma once

namespace quorvane::registry::samples {

inline constexpr const char* kSystemReg = R"reg(WINE REGISTRY Version 2
;; All keys relative to \\Machine

#arch=win64

[Software\\Classes\\.txt] 1700000000
#time=1da1747c67fd687
@="txtfile"
"Content Type"="text/plain"

[Software\\Classes\\txtfile\\shell\\open\\command] 1700000000
#time=1da1747c67fd687
@=str(2):"%SystemRoot%\\system32\\notepad.exe %1"

[Software\\Microsoft\\Internet Explorer\\Main] 1700000100
#time=1da1748027c95b1
"Escapes"="\x4e2d\x6587 \"quoted\"\ttab\\back\n\r\0end caf\x00e91 \xe9 x\e\0017"
"Start Page"="http://www.example.com/"
"Window Title"="\x4e2d\x6587\x6807\x9898"

[Software\\Wine\\Drives] 1700000000
#time=1da1747c67fd687
"c:"="hd"

[Software\\Wine\\My \[Key\]] 1700000000
#time=1da1747c67fd687
"x"=dword:00000001

[Software\\Wine\\Ports] 1700000000
#time=1da1747c67fd687

[Software\\\x4e2d\x6587] 1700000000
#time=1da1747c67fd687
@="zh"

[System\\ControlSet001\\Control\\Session Manager\\Environment] 1700000200
#time=1da17483da2942a
"ComSpec"=str(2):"%SystemRoot%\\system32\\cmd.exe"
"Multi"=str(7):"one\0two\0"
"NUMBER_OF_PROCESSORS"="4"

[System\\ControlSet001\\Hardware Profiles\\Current\\Software\\Fonts] 1700000000
#time=1da1747c67fd687
"LogPixels"=dword:00000060

[System\\ControlSet001\\Services\\Data] 1700000000
#time=1da1747c67fd687
#class="Data class"
;; a comment kept as it is
@=hex:de,ad,be,ef
"Blob"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\
  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27
"Empty"=hex:
"Quad"=hex(b):01,00,00,00,00,00,00,00

[System\\CurrentControlSet] 1700000000
#time=1da1747c67fd687
#link
"SymbolicLinkValue"=hex(6):5c,00,52,00,65,00,67,00,69,00,73,00,74,00,72,00,79,\
  00,5c,00,4d,00,61,00,63,00,68,00,69,00,6e,00,65,00,5c,00,53,00,79,00,73,00,\
  74,00,65,00,6d,00,5c,00,43,00,6f,00,6e,00,74,00,72,00,6f,00,6c,00,53,00,65,\
  00,74,00,30,00,30,00,31,00
)reg";

inline constexpr const char* kUserReg = R"reg(WINE REGISTRY Version 2
;; All keys relative to \\User\\S-1-5-21-0-0-0-1000

#arch=win64

[Control Panel\\Desktop] 1700000000
#time=1da1747c67fd687
"MenuShowDelay"="400"
"Wallpaper"=""

[Software\\Classes\\.txt] 1700000000
#time=1da1747c67fd687
@="usertxt"

[Software\\Microsoft\\Internet Explorer\\Main] 1700000100
#time=1da1748027c95b1
"Start Page"="about:blank"
"Window Title"="\x4e2d\x6587\x6807\x9898"

[Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System] 1700000200
#time=1da17483da2942a
"DisableRegistryTools"=dword:00000001
"DisableTaskMgr"=dword:00000001
)reg";

inline constexpr const char* kUserDefReg = R"reg(WINE REGISTRY Version 2
;; All keys relative to \\User\\.Default

#arch=win64

[Control Panel\\Desktop] 1700000000
#time=1da1747c67fd687
"MenuShowDelay"="400"
)reg";

}  // namespace quorvane::registry::samples
