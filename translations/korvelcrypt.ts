<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1">
<context>
    <name>AboutWindow</name>
    <message>
        <source>Form</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Korvel Crypt</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>1.1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>OK</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>About</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>BusyDialog</name>
    <message>
        <source>Dialog</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Processing...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Processing</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 files found</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ClearStatusTask</name>
    <message>
        <source>Clearing finished tasks...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>All finished tasks cleared.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not clear finished tasks.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Clearing failed tasks...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>All failed tasks cleared.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not clear failed tasks.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Clearing pending tasks...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>All pending tasks cleared.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not clear pending tasks.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Clearing all tasks...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>All tasks cleared</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not clear all tasks.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>No files cleared for unknown status.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>CryptTask</name>
    <message>
        <source>Finished (Deleted source and (decrypted) appended to destination name)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Finished (Deleted source)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Finished ((decrypted) appended to destination name)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Finished</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>DecryptManager</name>
    <message>
        <source>Cannot perform operations during decryption.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Decryption already in progress.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Task could not be created for %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Error: could not allocate memory for task %1 </source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not rename input %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not remove file %1. Does not exist</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Failed list is empty.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not remove file %1. file does not exist.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not remove file %1: %2</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>DeleteEncryptedTask</name>
    <message>
        <source>Deleting encrypted source files...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Encrypted source files deleted from finished tasks.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Not all encrypted files could be deleted.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>FileLoading</name>
    <message>
        <source>No files found.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 files loaded successfully.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 files loaded.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 files loaded. %2 duplicates skipped.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 files that are not envelopes skipped.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 already decrypted skipped.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 folders could not be read, first &apos;%2&apos;: %3.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Korvel Crypt</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>0%</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Show passphrase</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Decrypt</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Latest</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Finished</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Failed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>View:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>filename</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>progress</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>status</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>toolBar</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Open Files...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Select file(s) to decrypt </source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Alt+O</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Open Folder</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Decrypts all files and folders in selected folder</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Alt+F</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Exit</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Settings</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Opens Settings dialog</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Alt+S</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Reload Failed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Reload failed tasks and resets status to Pending</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Alt+1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Clear Finished</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Clears finished tasks</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Alt+2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Clear Failed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Clears failed tasks</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Alt+3</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Clear Pending</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Clears pending tasks</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Alt+4</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Clear All</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Clears all tasks</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Alt+5</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Delete Encrypted</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Deletes encrypted files from finished tasks</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Alt+D</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>About...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Opens About dialog</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Drag files and folders to start decrypting...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Open Encrypted files</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Encrypted Files (*.%1);;All Files (*)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Open Directory</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Do you want to delete encrypted source files from finished tasks?</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 finished, %2 failed, %3 pending, %4 total</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 tasks have failed. Do you want to reload? </source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Decrypt next to each file</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Writes each plaintext next to its encrypted file</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Decrypt into folder...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Writes every plaintext below a folder of your choice</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Decrypt into Folder</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>decrypting into %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Passphrase</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The passphrase of the files to decrypt. Enter starts decrypting.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Progress</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Files done in this run</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Starts decrypting the loaded files; pressed again, stops.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>View</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Which tasks the table shows: the latest, the finished or the failed ones.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Tasks</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>One row for each file taken for decrypting: its name, progress and status. Drop files and folders here to load them.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>F&amp;ile</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>O&amp;ptions</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&amp;About</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 encrypted files will be deleted.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Passphrase of the files</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Drop files and folders here to decrypt them.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Open</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Show in Folder</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Copy Path</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Files are being decrypted. Stop and quit?</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Files not finished are left without a plaintext.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Skip files already decrypted</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Leaves an encrypted file alone when its plaintext already stands under its name; unticked, both are kept</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ReloadFailedDialog</name>
    <message>
        <source>Dialog</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source># files failed, do you want to reload?</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Reload Failed Tasks</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ReloadFailedTask</name>
    <message>
        <source>Reloading failed tasks...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Failed Tasks reloaded.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>RunNotifier</name>
    <message>
        <source>Decryption finished</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 finished, %2 failed</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>SettingsDialog</name>
    <message>
        <source>Settings</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>4</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>8</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Delete encrypted files when finished</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Number of concurrent threads for decryption</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Give decrypted files the modification time of their encrypted files</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>SourceRemover</name>
    <message>
        <source>Decrypted file %1 is not there</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Decrypted file %1 could not be flushed to disk: %2</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>SpeedLabel</name>
    <message>
        <source>Speed and time left</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Measuring speed...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 MB/s</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 MB/s, %2 left</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>Task</name>
    <message>
        <source>Decrypting</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Finished</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Error</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Error (%1)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancelled</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Waiting</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cleared</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Unknown</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>TaskManager</name>
    <message>
        <source>A task is in progress, try again later.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Loading files...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancelling...</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ZervDecryptWorker</name>
    <message>
        <source>Invalid file</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not write to destination.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Input file is corrupted or not encrypted.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not write out to device.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Source file does not exist.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Source is not a file.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not initialize decrypter.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancelled by user</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
