<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>AboutWindow</name>
    <message>
        <source>Form</source>
        <translation>Formular</translation>
    </message>
    <message>
        <source>Korvel Crypt</source>
        <translation>Korvel Crypt</translation>
    </message>
    <message>
        <source>1.1</source>
        <translation>1.1</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>About</source>
        <translation>Über</translation>
    </message>
</context>
<context>
    <name>BusyDialog</name>
    <message>
        <source>Dialog</source>
        <translation>Dialog</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Processing...</source>
        <translation>Wird verarbeitet...</translation>
    </message>
    <message>
        <source>Processing</source>
        <translation>Verarbeitung</translation>
    </message>
    <message>
        <source>%1 files found</source>
        <translation>%1 Dateien gefunden</translation>
    </message>
</context>
<context>
    <name>ClearStatusTask</name>
    <message>
        <source>Clearing finished tasks...</source>
        <translation>Erledigte Aufgaben werden entfernt...</translation>
    </message>
    <message>
        <source>All finished tasks cleared.</source>
        <translation>Alle erledigten Aufgaben entfernt.</translation>
    </message>
    <message>
        <source>Could not clear finished tasks.</source>
        <translation>Erledigte Aufgaben konnten nicht entfernt werden.</translation>
    </message>
    <message>
        <source>Clearing failed tasks...</source>
        <translation>Fehlgeschlagene Aufgaben werden entfernt...</translation>
    </message>
    <message>
        <source>All failed tasks cleared.</source>
        <translation>Alle fehlgeschlagenen Aufgaben entfernt.</translation>
    </message>
    <message>
        <source>Could not clear failed tasks.</source>
        <translation>Fehlgeschlagene Aufgaben konnten nicht entfernt werden.</translation>
    </message>
    <message>
        <source>Clearing pending tasks...</source>
        <translation>Wartende Aufgaben werden entfernt...</translation>
    </message>
    <message>
        <source>All pending tasks cleared.</source>
        <translation>Alle wartenden Aufgaben entfernt.</translation>
    </message>
    <message>
        <source>Could not clear pending tasks.</source>
        <translation>Wartende Aufgaben konnten nicht entfernt werden.</translation>
    </message>
    <message>
        <source>Clearing all tasks...</source>
        <translation>Alle Aufgaben werden entfernt...</translation>
    </message>
    <message>
        <source>All tasks cleared</source>
        <translation>Alle Aufgaben entfernt</translation>
    </message>
    <message>
        <source>Could not clear all tasks.</source>
        <translation>Nicht alle Aufgaben konnten entfernt werden.</translation>
    </message>
    <message>
        <source>No files cleared for unknown status.</source>
        <translation>Keine Dateien entfernt: unbekannter Status.</translation>
    </message>
</context>
<context>
    <name>CryptTask</name>
    <message>
        <source>Finished (Deleted source and (decrypted) appended to destination name)</source>
        <translation>Fertig (Quelle gelöscht, „(decrypted)“ an den Zielnamen angehängt)</translation>
    </message>
    <message>
        <source>Finished (Deleted source)</source>
        <translation>Fertig (Quelle gelöscht)</translation>
    </message>
    <message>
        <source>Finished ((decrypted) appended to destination name)</source>
        <translation>Fertig („(decrypted)“ an den Zielnamen angehängt)</translation>
    </message>
    <message>
        <source>Finished</source>
        <translation>Fertig</translation>
    </message>
</context>
<context>
    <name>DecryptManager</name>
    <message>
        <source>Cannot perform operations during decryption.</source>
        <translation>Während der Entschlüsselung nicht möglich.</translation>
    </message>
    <message>
        <source>Decryption already in progress.</source>
        <translation>Die Entschlüsselung läuft bereits.</translation>
    </message>
    <message>
        <source>Task could not be created for %1</source>
        <translation>Für %1 konnte keine Aufgabe angelegt werden</translation>
    </message>
    <message>
        <source>Error: could not allocate memory for task %1 </source>
        <translation>Fehler: kein Speicher für die Aufgabe %1 </translation>
    </message>
    <message>
        <source>Could not rename input %1</source>
        <translation>Die Eingabe %1 konnte nicht umbenannt werden</translation>
    </message>
    <message>
        <source>Could not remove file %1. Does not exist</source>
        <translation>Die Datei %1 konnte nicht gelöscht werden. Sie existiert nicht</translation>
    </message>
    <message>
        <source>Failed list is empty.</source>
        <translation>Es gibt keine fehlgeschlagenen Aufgaben.</translation>
    </message>
    <message>
        <source>Could not remove file %1. file does not exist.</source>
        <translation>Die Datei %1 konnte nicht gelöscht werden. Die Datei existiert nicht.</translation>
    </message>
    <message>
        <source>Could not remove file %1: %2</source>
        <translation>Die Datei %1 konnte nicht gelöscht werden: %2</translation>
    </message>
</context>
<context>
    <name>DeleteEncryptedTask</name>
    <message>
        <source>Deleting encrypted source files...</source>
        <translation>Verschlüsselte Quelldateien werden gelöscht...</translation>
    </message>
    <message>
        <source>Encrypted source files deleted from finished tasks.</source>
        <translation>Verschlüsselte Quelldateien erledigter Aufgaben gelöscht.</translation>
    </message>
    <message>
        <source>Not all encrypted files could be deleted.</source>
        <translation>Nicht alle verschlüsselten Dateien konnten gelöscht werden.</translation>
    </message>
</context>
<context>
    <name>FileLoading</name>
    <message>
        <source>No files found.</source>
        <translation>Keine Dateien gefunden.</translation>
    </message>
    <message>
        <source>%1 files loaded successfully.</source>
        <translation>%1 Dateien erfolgreich geladen.</translation>
    </message>
    <message>
        <source>%1 files loaded.</source>
        <translation>%1 Dateien geladen.</translation>
    </message>
    <message>
        <source>%1 files loaded. %2 duplicates skipped.</source>
        <translation>%1 Dateien geladen. %2 Duplikate übersprungen.</translation>
    </message>
    <message>
        <source>%1 files that are not envelopes skipped.</source>
        <translation>%1 Dateien ohne Umschlag übersprungen.</translation>
    </message>
    <message>
        <source>%1 already decrypted skipped.</source>
        <translation>%1 bereits entschlüsselte übersprungen.</translation>
    </message>
    <message>
        <source>%1 folders could not be read, first &apos;%2&apos;: %3.</source>
        <translation>%1 Ordner konnten nicht gelesen werden, zuerst &apos;%2&apos;: %3.</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Korvel Crypt</source>
        <translation>Korvel Crypt</translation>
    </message>
    <message>
        <source>0%</source>
        <translation>0%</translation>
    </message>
    <message>
        <source>Show passphrase</source>
        <translation>Klartext zeigen</translation>
    </message>
    <message>
        <source>Decrypt</source>
        <translation>Entsperren</translation>
    </message>
    <message>
        <source>Latest</source>
        <translation>Neueste</translation>
    </message>
    <message>
        <source>Finished</source>
        <translation>Fertige</translation>
    </message>
    <message>
        <source>Failed</source>
        <translation>Fehlerhafte</translation>
    </message>
    <message>
        <source>View:</source>
        <translation>Filter:</translation>
    </message>
    <message>
        <source>filename</source>
        <translation>Dateiname</translation>
    </message>
    <message>
        <source>progress</source>
        <translation>Fortschritt</translation>
    </message>
    <message>
        <source>status</source>
        <translation>Status</translation>
    </message>
    <message>
        <source>toolBar</source>
        <translation>Werkzeugleiste</translation>
    </message>
    <message>
        <source>Open Files...</source>
        <translation>Dateien öffnen...</translation>
    </message>
    <message>
        <source>Select file(s) to decrypt </source>
        <translation>Datei(en) zum Entschlüsseln auswählen </translation>
    </message>
    <message>
        <source>Alt+O</source>
        <translation>Alt+O</translation>
    </message>
    <message>
        <source>Open Folder</source>
        <translation>Ordner öffnen</translation>
    </message>
    <message>
        <source>Decrypts all files and folders in selected folder</source>
        <translation>Entschlüsselt alle Dateien und Ordner im gewählten Ordner</translation>
    </message>
    <message>
        <source>Alt+F</source>
        <translation>Alt+F</translation>
    </message>
    <message>
        <source>Exit</source>
        <translation>Beenden</translation>
    </message>
    <message>
        <source>Settings</source>
        <translation>Einstellungen</translation>
    </message>
    <message>
        <source>Opens Settings dialog</source>
        <translation>Öffnet die Einstellungen</translation>
    </message>
    <message>
        <source>Alt+S</source>
        <translation>Alt+S</translation>
    </message>
    <message>
        <source>Reload Failed</source>
        <translation>Fehlerhafte neu laden</translation>
    </message>
    <message>
        <source>Reload failed tasks and resets status to Pending</source>
        <translation>Lädt fehlgeschlagene Aufgaben neu und setzt sie auf Wartend zurück</translation>
    </message>
    <message>
        <source>Alt+1</source>
        <translation>Alt+1</translation>
    </message>
    <message>
        <source>Clear Finished</source>
        <translation>Fertige entfernen</translation>
    </message>
    <message>
        <source>Clears finished tasks</source>
        <translation>Entfernt fertige Aufgaben</translation>
    </message>
    <message>
        <source>Alt+2</source>
        <translation>Alt+2</translation>
    </message>
    <message>
        <source>Clear Failed</source>
        <translation>Fehlerhafte entfernen</translation>
    </message>
    <message>
        <source>Clears failed tasks</source>
        <translation>Entfernt fehlgeschlagene Aufgaben</translation>
    </message>
    <message>
        <source>Alt+3</source>
        <translation>Alt+3</translation>
    </message>
    <message>
        <source>Clear Pending</source>
        <translation>Wartende entfernen</translation>
    </message>
    <message>
        <source>Clears pending tasks</source>
        <translation>Entfernt wartende Aufgaben</translation>
    </message>
    <message>
        <source>Alt+4</source>
        <translation>Alt+4</translation>
    </message>
    <message>
        <source>Clear All</source>
        <translation>Alle entfernen</translation>
    </message>
    <message>
        <source>Clears all tasks</source>
        <translation>Entfernt alle Aufgaben</translation>
    </message>
    <message>
        <source>Alt+5</source>
        <translation>Alt+5</translation>
    </message>
    <message>
        <source>Delete Encrypted</source>
        <translation>Verschlüsselte löschen</translation>
    </message>
    <message>
        <source>Deletes encrypted files from finished tasks</source>
        <translation>Löscht die verschlüsselten Dateien fertiger Aufgaben</translation>
    </message>
    <message>
        <source>Alt+D</source>
        <translation>Alt+D</translation>
    </message>
    <message>
        <source>About...</source>
        <translation>Über Korvel Crypt...</translation>
    </message>
    <message>
        <source>Opens About dialog</source>
        <translation>Zeigt Version und Herkunft</translation>
    </message>
    <message>
        <source>Drag files and folders to start decrypting...</source>
        <translation>Dateien und Ordner hierher ziehen, um mit dem Entschlüsseln zu beginnen...</translation>
    </message>
    <message>
        <source>Open Encrypted files</source>
        <translation>Verschlüsselte Dateien öffnen</translation>
    </message>
    <message>
        <source>Encrypted Files (*.%1);;All Files (*)</source>
        <translation>Verschlüsselte Dateien (*.%1);;Alle Dateien (*)</translation>
    </message>
    <message>
        <source>Open Directory</source>
        <translation>Ordner öffnen</translation>
    </message>
    <message>
        <source>Do you want to delete encrypted source files from finished tasks?</source>
        <translation>Sollen die verschlüsselten Quelldateien fertiger Aufgaben gelöscht werden?</translation>
    </message>
    <message>
        <source>%1 finished, %2 failed, %3 pending, %4 total</source>
        <translation>%1 fertig, %2 fehlgeschlagen, %3 wartend, %4 insgesamt</translation>
    </message>
    <message>
        <source>%1 tasks have failed. Do you want to reload? </source>
        <translation>%1 Aufgaben sind fehlgeschlagen. Neu laden? </translation>
    </message>
    <message>
        <source>Decrypt next to each file</source>
        <translation>Neben jeder Datei entschlüsseln</translation>
    </message>
    <message>
        <source>Writes each plaintext next to its encrypted file</source>
        <translation>Schreibt jeden Klartext neben seine verschlüsselte Datei</translation>
    </message>
    <message>
        <source>Decrypt into folder...</source>
        <translation>In einen Ordner entschlüsseln...</translation>
    </message>
    <message>
        <source>Writes every plaintext below a folder of your choice</source>
        <translation>Schreibt alle Klartexte in einen Ordner Ihrer Wahl</translation>
    </message>
    <message>
        <source>Decrypt into Folder</source>
        <translation>In einen Ordner entschlüsseln</translation>
    </message>
    <message>
        <source>decrypting into %1</source>
        <translation>Ziel: %1</translation>
    </message>
    <message>
        <source>Passphrase</source>
        <translation>Passphrase</translation>
    </message>
    <message>
        <source>The passphrase of the files to decrypt. Enter starts decrypting.</source>
        <translation>Die Passphrase der zu entschlüsselnden Dateien. Die Eingabetaste startet das Entschlüsseln.</translation>
    </message>
    <message>
        <source>Progress</source>
        <translation>Fortschritt</translation>
    </message>
    <message>
        <source>Files done in this run</source>
        <translation>In diesem Durchlauf erledigte Dateien</translation>
    </message>
    <message>
        <source>Starts decrypting the loaded files; pressed again, stops.</source>
        <translation>Startet das Entschlüsseln der geladenen Dateien; erneut gedrückt, hält es an.</translation>
    </message>
    <message>
        <source>View</source>
        <translation>Ansicht</translation>
    </message>
    <message>
        <source>Which tasks the table shows: the latest, the finished or the failed ones.</source>
        <translation>Welche Aufgaben die Tabelle zeigt: die neuesten, die fertigen oder die fehlgeschlagenen.</translation>
    </message>
    <message>
        <source>Tasks</source>
        <translation>Aufgaben</translation>
    </message>
    <message>
        <source>One row for each file taken for decrypting: its name, progress and status. Drop files and folders here to load them.</source>
        <translation>Eine Zeile für jede zum Entschlüsseln übernommene Datei: Name, Fortschritt und Status. Dateien und Ordner hier ablegen, um sie zu laden.</translation>
    </message>
    <message>
        <source>F&amp;ile</source>
        <translation>Da&amp;tei</translation>
    </message>
    <message>
        <source>O&amp;ptions</source>
        <translation>O&amp;ptionen</translation>
    </message>
    <message>
        <source>&amp;About</source>
        <translation>&amp;Info</translation>
    </message>
    <message>
        <source>%1 encrypted files will be deleted.</source>
        <translation>%1 verschlüsselte Dateien werden gelöscht.</translation>
    </message>
    <message>
        <source>Passphrase of the files</source>
        <translation>Passphrase der Dateien</translation>
    </message>
    <message>
        <source>Drop files and folders here to decrypt them.</source>
        <translation>Dateien und Ordner hier ablegen, um sie zu entschlüsseln.</translation>
    </message>
    <message>
        <source>Open</source>
        <translation>Öffnen</translation>
    </message>
    <message>
        <source>Show in Folder</source>
        <translation>Im Ordner zeigen</translation>
    </message>
    <message>
        <source>Copy Path</source>
        <translation>Pfad kopieren</translation>
    </message>
    <message>
        <source>Files are being decrypted. Stop and quit?</source>
        <translation>Dateien werden entschlüsselt. Anhalten und beenden?</translation>
    </message>
    <message>
        <source>Files not finished are left without a plaintext.</source>
        <translation>Nicht fertige Dateien bleiben ohne Klartext.</translation>
    </message>
    <message>
        <source>Skip files already decrypted</source>
        <translation>Bereits entschlüsselte Dateien überspringen</translation>
    </message>
    <message>
        <source>Leaves an encrypted file alone when its plaintext already stands under its name; unticked, both are kept</source>
        <translation>Lässt eine verschlüsselte Datei liegen, wenn ihr Klartext schon unter ihrem Namen steht; sonst bleiben beide</translation>
    </message>
</context>
<context>
    <name>ReloadFailedDialog</name>
    <message>
        <source>Dialog</source>
        <translation>Dialog</translation>
    </message>
    <message>
        <source># files failed, do you want to reload?</source>
        <translation># Dateien fehlgeschlagen. Neu laden?</translation>
    </message>
    <message>
        <source>Reload Failed Tasks</source>
        <translation>Fehlgeschlagene Aufgaben</translation>
    </message>
</context>
<context>
    <name>ReloadFailedTask</name>
    <message>
        <source>Reloading failed tasks...</source>
        <translation>Fehlgeschlagene Aufgaben werden neu geladen...</translation>
    </message>
    <message>
        <source>Failed Tasks reloaded.</source>
        <translation>Fehlgeschlagene Aufgaben neu geladen.</translation>
    </message>
</context>
<context>
    <name>RunNotifier</name>
    <message>
        <source>Decryption finished</source>
        <translation>Entschlüsseln beendet</translation>
    </message>
    <message>
        <source>%1 finished, %2 failed</source>
        <translation>%1 fertig, %2 fehlgeschlagen</translation>
    </message>
</context>
<context>
    <name>SettingsDialog</name>
    <message>
        <source>Settings</source>
        <translation>Einstellungen</translation>
    </message>
    <message>
        <source>1</source>
        <translation>1</translation>
    </message>
    <message>
        <source>2</source>
        <translation>2</translation>
    </message>
    <message>
        <source>4</source>
        <translation>4</translation>
    </message>
    <message>
        <source>8</source>
        <translation>8</translation>
    </message>
    <message>
        <source>Delete encrypted files when finished</source>
        <translation>Verschlüsselte Datei nach Erfolg löschen</translation>
    </message>
    <message>
        <source>Number of concurrent threads for decryption</source>
        <translation>Anzahl gleichzeitig entschlüsselter Dateien</translation>
    </message>
    <message>
        <source>Give decrypted files the modification time of their encrypted files</source>
        <translation>Entschlüsselten Dateien die Änderungszeit der verschlüsselten Datei geben</translation>
    </message>
</context>
<context>
    <name>SourceRemover</name>
    <message>
        <source>Decrypted file %1 is not there</source>
        <translation>Die entschlüsselte Datei %1 ist nicht vorhanden</translation>
    </message>
    <message>
        <source>Decrypted file %1 could not be flushed to disk: %2</source>
        <translation>Die entschlüsselte Datei %1 konnte nicht auf die Platte geschrieben werden: %2</translation>
    </message>
</context>
<context>
    <name>SpeedLabel</name>
    <message>
        <source>Speed and time left</source>
        <translation>Geschwindigkeit und Restzeit</translation>
    </message>
    <message>
        <source>Measuring speed...</source>
        <translation>Geschwindigkeit wird gemessen...</translation>
    </message>
    <message>
        <source>%1 MB/s</source>
        <translation>%1 MB/s</translation>
    </message>
    <message>
        <source>%1 MB/s, %2 left</source>
        <translation>%1 MB/s, noch %2</translation>
    </message>
</context>
<context>
    <name>Task</name>
    <message>
        <source>Decrypting</source>
        <translation>Wird entschlüsselt</translation>
    </message>
    <message>
        <source>Finished</source>
        <translation>Fertig</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
    <message>
        <source>Error (%1)</source>
        <translation>Fehler (%1)</translation>
    </message>
    <message>
        <source>Cancelled</source>
        <translation>Abgebrochen</translation>
    </message>
    <message>
        <source>Waiting</source>
        <translation>Wartet</translation>
    </message>
    <message>
        <source>Cleared</source>
        <translation>Entfernt</translation>
    </message>
    <message>
        <source>Unknown</source>
        <translation>Unbekannt</translation>
    </message>
</context>
<context>
    <name>TaskManager</name>
    <message>
        <source>A task is in progress, try again later.</source>
        <translation>Eine Aufgabe läuft, bitte später erneut versuchen.</translation>
    </message>
    <message>
        <source>Loading files...</source>
        <translation>Dateien werden geladen...</translation>
    </message>
    <message>
        <source>Cancelling...</source>
        <translation>Wird abgebrochen...</translation>
    </message>
</context>
<context>
    <name>ZervDecryptWorker</name>
    <message>
        <source>Invalid file</source>
        <translation>Ungültige Datei</translation>
    </message>
    <message>
        <source>Could not write to destination.</source>
        <translation>Das Ziel konnte nicht geschrieben werden.</translation>
    </message>
    <message>
        <source>Input file is corrupted or not encrypted.</source>
        <translation>Die Eingabedatei ist beschädigt oder nicht verschlüsselt.</translation>
    </message>
    <message>
        <source>Could not write out to device.</source>
        <translation>Auf das Gerät konnte nicht geschrieben werden.</translation>
    </message>
    <message>
        <source>Source file does not exist.</source>
        <translation>Die Quelldatei existiert nicht.</translation>
    </message>
    <message>
        <source>Source is not a file.</source>
        <translation>Die Quelle ist keine Datei.</translation>
    </message>
    <message>
        <source>Could not initialize decrypter.</source>
        <translation>Der Entschlüsseler konnte nicht gestartet werden.</translation>
    </message>
    <message>
        <source>Cancelled by user</source>
        <translation>Vom Benutzer abgebrochen</translation>
    </message>
</context>
</TS>
