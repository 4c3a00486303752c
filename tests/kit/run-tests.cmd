@echo off
rem Runs every test executable of this folder (*_tests.exe) with GoogleTest's XML output into
rem results\ beside it, then prints each failed and skipped test and one closing line,
rem "N passed, N failed". Exit code 0 only when tests ran and all passed.
rem
rem Run it from an elevated prompt, on a disposable Windows computer or build agent only:
rem the tests install, start and remove a real service ("Varnholt Scheduling"), write under
rem HKEY_LOCAL_MACHINE\SOFTWARE\Varnholt and into C:\ProgramData\Varnholt, and start
rem programs of this folder. Arguments are given to every test executable, for instance
rem --gtest_filter=LogFile*.
setlocal EnableExtensions
cd /d "%~dp0"
"%~dp0VarnholtTestKit.exe" elevated
if errorlevel 1 goto refuse
if exist results rmdir /s /q results
mkdir results
for %%t in (*_tests.exe) do (
    echo ==^> %%t
    "%%~ft" --gtest_output=xml:"%~dp0results\%%~nt.xml" %*
    call :record "%%~nt"
)
"%~dp0VarnholtTestKit.exe" summary "%~dp0results"
exit /b %errorlevel%

:record
>"results\%~1.exit" echo %errorlevel%
exit /b 0

:refuse
echo run-tests.cmd: run it from an elevated prompt (Run as administrator), on a disposable
echo computer: the tests install a service and write under HKLM and C:\ProgramData.
exit /b 2
