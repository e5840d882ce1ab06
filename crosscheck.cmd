@echo off
rem crosscheck.cmd [ARCHVER]: runs archver.exe (default: the one beside this
rem file) in every mode and compares each answer with what this Windows says
rem elsewhere: the architecture in the environment and the registry, the
rem version and build in the registry and from "ver", the product type in the
rem registry, and EXPECT_CODE when set. A line per answer of archver's, a
rem SOURCES line per disagreement among the sources, then "crosscheck: all
rem agree" (exit 0) or the count of each (exit 1); exit 2 without
rem archver.exe or without a folder of its own in TEMP. Where reg.exe cannot
rem read the registry (Windows 2000 has none in System32), the environment and "ver"
rem stand in as far as they go, and each check nothing else answers, the
rem registry and EXPECT_CODE among them, is an "unknown" line: what could not
rem be checked is no disagreement.
rem Written for every cmd.exe from Windows 2000 on, 32- and 64-bit: no delayed
rem expansion, a value read right after the line that set it, every "for"
rem body in parentheses, every program by its full path. What a program
rem prints is read back from a scratch file, not through "for /f" over the
rem command, which starts one more cmd.exe for each.
setlocal EnableExtensions DisableDelayedExpansion
set "archver=%~1"
if "%archver%"=="" set "archver=%~dp0archver.exe"
if exist "%archver%" goto found
echo crosscheck: cannot find "%archver%"
exit /b 2
:found
set mismatches=0
set problems=0
rem What programs print is read back from a file in a folder of this run's
rem own making that nobody else can write: mkdir fails where the name is
rem taken, and then only its owner keeps access to it (OWNER RIGHTS).
set tries=0
:scratchdir
set /a tries+=1
if %tries% GTR 50 goto noscratch
set "scratchdir=%TEMP%\archver-crosscheck-%RANDOM%%RANDOM%"
mkdir "%scratchdir%" 2>nul
if errorlevel 1 goto scratchdir
if exist "%SystemRoot%\System32\icacls.exe" "%SystemRoot%\System32\icacls.exe" "%scratchdir%" /inheritance:r /grant:r "*S-1-3-4:(OI)(CI)F" >nul 2>&1
set "scratch=%scratchdir%\out.txt"
if exist "%scratch%" goto scratchdir
set "cvkey=HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion"

rem Bitness: a 32-bit process on 64-bit Windows sees x86 in
rem PROCESSOR_ARCHITECTURE and the native one in PROCESSOR_ARCHITEW6432. An
rem emulated x64 process on ARM64 may see AMD64, so only bitness is compared.
set "envarch=%PROCESSOR_ARCHITECTURE%"
if defined PROCESSOR_ARCHITEW6432 set "envarch=%PROCESSOR_ARCHITEW6432%"
set view=
call :regvalue "HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment" PROCESSOR_ARCHITECTURE regarch "x86 AMD64 ARM64 IA64"
rem Every Windows keeps its machine there: where reg.exe does not read it,
rem it cannot read the registry.
set registry=
if defined regarch set registry=1
call :bitsof "%envarch%" envbits
call :bitsof "%regarch%" regbits
set bits=%envbits%
if defined registry if not "%envbits%"=="%regbits%" set bits=

rem A 32-bit cmd on 64-bit Windows reads another view of SOFTWARE unless
rem told; a reg.exe that does not know /reg:64 fails, and reads without it.
if "%bits%"=="64" set view=/reg:64
if defined view "%SystemRoot%\System32\reg.exe" query "%cvkey%" %view% >"%scratch%" 2>nul
if errorlevel 1 set view=
if not defined view "%SystemRoot%\System32\reg.exe" query "%cvkey%" >"%scratch%" 2>nul

rem The version's values in one read of the key. Windows 10 and later keep
rem CurrentVersion at 6.3 and hold the true version in two numbers
rem (REG_DWORD, shown in hexadecimal). What the registry holds is data: the
rem numbers go through set /a by name (:number), which evaluates and never
rem parses them as commands, and the service pack is the fifth word of its
rem line.
set major=
set minor=
set build=
set sp=0
for /f "usebackq tokens=1,2,*" %%a in ("%scratch%") do (
    if /i "%%a"=="CurrentMajorVersionNumber" set "major=%%c"
    if /i "%%a"=="CurrentMinorVersionNumber" set "minor=%%c"
    if /i "%%a"=="CurrentBuildNumber" set "build=%%c"
)
for /f "usebackq tokens=1,5 delims=, " %%a in ("%scratch%") do (if /i "%%a"=="CSDVersion" set "sp=%%b")
if defined major if defined minor goto numbered
set major=
set minor=
for /f "usebackq tokens=1-4 delims=. " %%a in ("%scratch%") do (
    if /i "%%a"=="CurrentVersion" set "major=%%c"
    if /i "%%a"=="CurrentVersion" set "minor=%%d"
)
:numbered
call :number major
call :number minor
call :number build
call :number sp
if not defined sp set sp=0
call :regvalue "HKLM\SYSTEM\CurrentControlSet\Control\ProductOptions" ProductType producttype "WinNT LanmanNT ServerNT"
set type=
if /i "%producttype%"=="WinNT" set type=1
if /i "%producttype%"=="LanmanNT" set type=2
if /i "%producttype%"=="ServerNT" set type=3

rem "ver" says "Microsoft Windows [Version 10.0.20348.2700]", or on XP
rem "Microsoft Windows XP [Version 5.1.2600]": the last word holds it.
set verline=
ver >"%scratch%"
for /f "usebackq tokens=*" %%l in ("%scratch%") do (set "verline=%%l")
set verword=
for %%w in (%verline%) do (set "verword=%%w")
set "verword=%verword:]=%"
set vermajor=
set verminor=
set verbuild=
for /f "tokens=1-3 delims=." %%a in ("%verword%") do (
    set "vermajor=%%a"
    set "verminor=%%b"
    set "verbuild=%%c"
)
rem Windows 2000 says 5.00.2195.
if defined verminor set /a verminor=verminor
if defined registry goto versioned
set "major=%vermajor%"
set "minor=%verminor%"
set "build=%verbuild%"
:versioned
set code=
if defined major if defined minor if defined type set /a code=20000 + major * 100 + minor * 10 + type
set bits1=
if "%bits%"=="32" set bits1=1
if "%bits%"=="64" set bits1=2

rem Windows 2000, XP before SP2 and Server 2003 before SP1 have no
rem IsWow64Process, and archver answers 0 to the bitness there. XP x64
rem (5.2, a workstation) always has it. "Service Pack 2": the third word.
set nowow64=
if "%major%.%minor%"=="5.0" set nowow64=1
if "%major%.%minor%"=="5.1" if %sp% LSS 2 set nowow64=1
if "%major%.%minor%"=="5.2" if not "%type%"=="1" if %sp% LSS 1 set nowow64=1

rem The SHA-256 of the archver.exe checked, which ties a report to a
rem release; certutil's second line holds it (on some versions with blanks
rem between the bytes). Anything but 64 hexadecimal digits there, such as an
rem error message, is no hash.
set sha256=
type nul >"%scratch%"
if exist "%SystemRoot%\System32\certutil.exe" "%SystemRoot%\System32\certutil.exe" -hashfile "%archver%" SHA256 >"%scratch%" 2>nul
for /f "usebackq skip=1 delims=" %%h in ("%scratch%") do (if not defined sha256 set "sha256=%%h")
if defined sha256 set "sha256=%sha256: =%"
if defined sha256 for /f "delims=0123456789abcdefABCDEF" %%x in ("%sha256%") do (set sha256=)
rem Its length by its first 63 and 64 characters, which every cmd.exe takes
rem alike, whatever it does with an offset past the end.
if defined sha256 if "%sha256:~0,63%"=="%sha256%" set sha256=
if defined sha256 if not "%sha256:~0,64%"=="%sha256%" set sha256=

rem The path as data: a for variable is printed without being parsed.
for %%p in ("%archver%") do (echo crosscheck: %%~p)
if defined sha256 echo SHA-256: %sha256%
echo Windows: %envarch% / %regarch% (%bits%-bit), version %major%.%minor% build %build% (ver: %verword%), %producttype% (type %type%): version code %code%
if not defined registry echo unknown   registry: reg query fails here
if not defined bits call :problem "disagree on bitness: environment %envarch%, registry %regarch%"
if not "%vermajor%.%verminor%.%verbuild%"=="%major%.%minor%.%build%" call :problem "disagree on version: registry %major%.%minor%.%build%, ver %vermajor%.%verminor%.%verbuild%"
if defined registry if not defined type call :problem "disagree on product type: registry %producttype%"
if defined EXPECT_CODE if defined code if not "%EXPECT_CODE%"=="%code%" call :problem "disagree on version code: EXPECT_CODE %EXPECT_CODE%, registry %code%"
if defined EXPECT_CODE if not defined code echo unknown   EXPECT_CODE: no version code from the registry to compare with
rem A compatibility layer (WINXPSP3, VISTARTM, WIN7RTM, ...) inherited from
rem the caller makes Windows report another version to archver; one such as
rem RunAsInvoker leaves it alone.
if defined __COMPAT_LAYER for %%l in (%__COMPAT_LAYER%) do (call :layer %%l)
"%archver%" /w >"%scratch%"
set reportcode=%ERRORLEVEL%
type "%scratch%"
set reportbuild=
for /f "usebackq tokens=1,2 delims== " %%a in ("%scratch%") do (if "%%a"=="BuildNumber" set "reportbuild=%%b")
if defined reportbuild set /a reportbuild=reportbuild
rd /s /q "%scratchdir%"

"%archver%"
call :bitness "no argument" %ERRORLEVEL% "%bits%"
"%archver%" /v
call :bitness "/v" %ERRORLEVEL% "%bits%"
"%archver%" /b
call :bitness "/b" %ERRORLEVEL% "%bits1%"
"%archver%" /o
call :check "/o" %ERRORLEVEL% "%code%"
call :check "/w" %reportcode% "%code%"
call :check "/w BuildNumber" "%reportbuild%" "%build%"
"%archver%" /? >nul
call :check "help" %ERRORLEVEL% 0

if not "%mismatches%%problems%"=="00" goto failed
echo crosscheck: all agree
exit /b 0
:failed
echo crosscheck: %mismatches% mismatches with archver, %problems% problems with the sources
exit /b 1
:noscratch
echo crosscheck: cannot make a folder of its own in "%TEMP%"
exit /b 2

rem :check NAME ARCHVER_ANSWER EXPECTED: no expected answer where the sources
rem do not agree on one or cannot tell.
:check
if "%~3"=="" (
    echo unknown   %~1: archver %~2, no agreed source to compare with
) else if "%~2"=="%~3" (
    echo ok        %~1: %~2
) else (
    echo MISMATCH  %~1: archver %~2, expected %~3
    set /a mismatches+=1
)
goto :eof

rem :bitness NAME ARCHVER_ANSWER EXPECTED: a 0 is no answer where Windows
rem has no IsWow64Process.
:bitness
if defined nowow64 if "%~2"=="0" (
    echo unknown   %~1: archver 0, this Windows has no IsWow64Process
    goto :eof
)
goto check

rem :layer NAME: a compatibility layer that changes the version reported.
:layer
set "layer=%~1"
if /i "%layer:~0,3%"=="WIN" goto versionlayer
if /i "%layer:~0,5%"=="VISTA" goto versionlayer
if /i "%layer:~0,3%"=="NT4" goto versionlayer
goto :eof
:versionlayer
call :problem "compatibility layer %~1 in __COMPAT_LAYER: Windows reports another version to archver"
goto :eof

rem :problem WHAT: the sources this script reads disagree or are missing.
:problem
echo SOURCES   %~1
set /a problems+=1
goto :eof

rem :bitsof ARCHITECTURE VARIABLE
:bitsof
set %2=
if /i "%~1"=="x86" set %2=32
if /i "%~1"=="AMD64" set %2=64
if /i "%~1"=="ARM64" set %2=64
if /i "%~1"=="IA64" set %2=64
goto :eof

rem :number VARIABLE: its value as set /a reads it by name, which never hands
rem it to cmd to parse; nothing where it is no number, and not set where it
rem was not set.
:number
if not defined %1 goto :eof
set number=
set /a number=%1 2>nul
set "%1=%number%"
goto :eof

rem :regvalue KEY NAME VARIABLE "WORDS": the value's data, in the view
rem %view%, as the one of WORDS it matches, or "unrecognised": the data is
rem only compared, never handed to cmd to parse. The first word of a line
rem names the value; XP's reg adds a header line.
:regvalue
set %3=
"%SystemRoot%\System32\reg.exe" query "%~1" /v %2 %view% >"%scratch%" 2>nul
for /f "usebackq tokens=1,2,*" %%a in ("%scratch%") do (if /i "%%a"=="%2" (
    set "%3=unrecognised"
    for %%w in (%~4) do (if /i "%%c"=="%%w" set "%3=%%w")
))
goto :eof
