<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru_RU">
<context>
    <name>Texts</name>
    <message>
        <source>zero</source>
        <translation>ноль</translation>
    </message>
    <message>
        <source>one</source>
        <translation>единица</translation>
    </message>
    <message>
        <source>pilot</source>
        <translation>пилот</translation>
    </message>
    <message>
        <source>Block %1</source>
        <translation>Блок %1</translation>
    </message>
    <message>
        <source>Kind</source>
        <translation>Вид</translation>
    </message>
    <message>
        <source>Type</source>
        <translation>Тип</translation>
    </message>
    <message>
        <source>Name</source>
        <translation>Имя</translation>
    </message>
    <message>
        <source>Data length</source>
        <translation>Длина данных</translation>
    </message>
    <message>
        <source>Parameter 1</source>
        <translation>Параметр 1</translation>
    </message>
    <message>
        <source>Parameter 2</source>
        <translation>Параметр 2</translation>
    </message>
    <message>
        <source>Announced length</source>
        <translation>Объявленная длина</translation>
    </message>
    <message>
        <source>%1 bytes</source>
        <translation>%1 байт</translation>
    </message>
    <message>
        <source>none</source>
        <translation>нет</translation>
    </message>
    <message>
        <source>Read length</source>
        <translation>Прочитанная длина</translation>
    </message>
    <message>
        <source>Checksum</source>
        <translation>Контрольная сумма</translation>
    </message>
    <message>
        <source>good</source>
        <translation>верна</translation>
    </message>
    <message>
        <source>bad</source>
        <translation>неверна</translation>
    </message>
    <message>
        <source>Read</source>
        <translation>Прочитан</translation>
    </message>
    <message>
        <source>Starts</source>
        <translation>Начало</translation>
    </message>
    <message>
        <source>Ends</source>
        <translation>Конец</translation>
    </message>
    <message>
        <source>Speed</source>
        <translation>Скорость</translation>
    </message>
    <message>
        <source>Pilot pulse</source>
        <translation>Импульс пилота</translation>
    </message>
    <message>
        <source>%1 T × %2</source>
        <translation>%1 T × %2</translation>
    </message>
    <message>
        <source>Sync pulses</source>
        <translation>Импульсы синхронизации</translation>
    </message>
    <message>
        <source>%1 T, %2 T</source>
        <translation>%1 T, %2 T</translation>
    </message>
    <message>
        <source>Zero pulse</source>
        <translation>Импульс нуля</translation>
    </message>
    <message>
        <source>%1 T</source>
        <translation>%1 T</translation>
    </message>
    <message>
        <source>One pulse</source>
        <translation>Импульс единицы</translation>
    </message>
    <message>
        <source>Broke at</source>
        <translation>Сбой</translation>
    </message>
    <message>
        <source>byte %1, bit %2 (%3), %4 weak bits</source>
        <translation>байт %1, бит %2 (%3), слабых битов: %4</translation>
    </message>
    <message>
        <source>Weak bits</source>
        <translation>Слабых битов</translation>
    </message>
    <message>
        <source>no weak bits: a bit read wrong with confidence</source>
        <translation>слабых битов нет: какой-то бит уверенно прочитан неверно</translation>
    </message>
    <message>
        <source>Asymmetry</source>
        <translation>Асимметрия</translation>
    </message>
    <message>
        <source>high %1 T, low %2 T</source>
        <translation>верх %1 T, низ %2 T</translation>
    </message>
    <message>
        <source>%1 is a recording that is open; it is not replaced.</source>
        <translation>%1 — открытая запись; она не заменяется.</translation>
    </message>
    <message>
        <source>%1 is protected and is not replaced.</source>
        <translation>%1 защищён и не заменяется.</translation>
    </message>
    <message>
        <source>Cannot create %1: %2</source>
        <translation>Не удаётся создать %1: %2</translation>
    </message>
    <message>
        <source>Cannot write %1: %2</source>
        <translation>Не удаётся записать %1: %2</translation>
    </message>
    <message>
        <source>Cannot replace %1: %2</source>
        <translation>Не удаётся заменить %1: %2</translation>
    </message>
    <message>
        <source>The tape could not be written.</source>
        <translation>Ленту записать не удалось.</translation>
    </message>
    <message>
        <source>Not enough memory to read %1.</source>
        <translation>Недостаточно памяти, чтобы прочитать %1.</translation>
    </message>
    <message>
        <source>Cannot read %1: it is no recording the robust method reads.</source>
        <translation>Не удаётся прочитать %1: это не запись, которую читает надёжный метод.</translation>
    </message>
    <message>
        <source>empty</source>
        <translation>пустой</translation>
    </message>
    <message>
        <source>header %1</source>
        <translation>заголовок, %1</translation>
    </message>
    <message>
        <source>data, flag %1</source>
        <translation>данные, флаг %1</translation>
    </message>
    <message>
        <source>program</source>
        <translation>программа</translation>
    </message>
    <message>
        <source>number array</source>
        <translation>числовой массив</translation>
    </message>
    <message>
        <source>character array</source>
        <translation>символьный массив</translation>
    </message>
    <message>
        <source>bytes</source>
        <translation>байты</translation>
    </message>
    <message>
        <source>type %1</source>
        <translation>тип %1</translation>
    </message>
    <message>
        <source>first reading</source>
        <translation>с первого чтения</translation>
    </message>
    <message>
        <source>read again another way</source>
        <translation>перечитан другим способом</translation>
    </message>
    <message>
        <source>sync assumed</source>
        <translation>синхронизация достроена</translation>
    </message>
    <message>
        <source>voted across the takes</source>
        <translation>собран голосованием записей</translation>
    </message>
    <message>
        <source>byte %1 (%2): the reading ends there, %3 bytes short</source>
        <translation>байт %1 (%2): чтение кончается здесь, не хватает байтов: %3</translation>
    </message>
    <message>
        <source>First weak bits</source>
        <translation>Первые слабые биты</translation>
    </message>
    <message>
        <source>tapedecoder workbench</source>
        <translation>Верстак tapedecoder</translation>
    </message>
    <message>
        <source>#</source>
        <translation>№</translation>
    </message>
    <message>
        <source>Time</source>
        <translation>Время</translation>
    </message>
    <message>
        <source>Length</source>
        <translation>Длина</translation>
    </message>
    <message>
        <source>Verdict</source>
        <translation>Итог</translation>
    </message>
    <message>
        <source>From</source>
        <translation>Откуда</translation>
    </message>
    <message>
        <source>Block</source>
        <translation>Блок</translation>
    </message>
    <message>
        <source>Suspicious points</source>
        <translation>Подозрительные места</translation>
    </message>
    <message>
        <source>Merged tape</source>
        <translation>Сведённая лента</translation>
    </message>
    <message>
        <source>Open a recording of a tape (File, Open, or drop it here).</source>
        <translation>Откройте запись кассеты (Файл, Открыть, или перетащите её сюда).</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Отмена</translation>
    </message>
    <message>
        <source>&amp;File</source>
        <translation>&amp;Файл</translation>
    </message>
    <message>
        <source>&amp;Open recording…</source>
        <translation>&amp;Открыть запись…</translation>
    </message>
    <message>
        <source>&amp;Add a take of the same tape…</source>
        <translation>&amp;Добавить другую запись той же кассеты…</translation>
    </message>
    <message>
        <source>Open &amp;recent</source>
        <translation>&amp;Недавние</translation>
    </message>
    <message>
        <source>&amp;Save tape as…</source>
        <translation>&amp;Сохранить ленту как…</translation>
    </message>
    <message>
        <source>&amp;Quit</source>
        <translation>В&amp;ыход</translation>
    </message>
    <message>
        <source>&amp;Decode</source>
        <translation>&amp;Расшифровка</translation>
    </message>
    <message>
        <source>&amp;Robust method</source>
        <translation>&amp;Надёжный метод</translation>
    </message>
    <message>
        <source>&amp;Classic method (8-bit 44.1 kHz WAV)</source>
        <translation>&amp;Классический метод (8-битный WAV 44,1 кГц)</translation>
    </message>
    <message>
        <source>C&amp;ancel</source>
        <translation>О&amp;тмена</translation>
    </message>
    <message>
        <source>&amp;View</source>
        <translation>&amp;Вид</translation>
    </message>
    <message>
        <source>Zoom &amp;in</source>
        <translation>&amp;Крупнее</translation>
    </message>
    <message>
        <source>Zoom &amp;out</source>
        <translation>&amp;Мельче</translation>
    </message>
    <message>
        <source>&amp;Whole recording</source>
        <translation>&amp;Вся запись</translation>
    </message>
    <message>
        <source>&amp;Next suspicious point</source>
        <translation>&amp;Следующее подозрительное место</translation>
    </message>
    <message>
        <source>&amp;Previous suspicious point</source>
        <translation>&amp;Предыдущее подозрительное место</translation>
    </message>
    <message>
        <source>Tools</source>
        <translation>Инструменты</translation>
    </message>
    <message>
        <source>%1 is no file.</source>
        <translation>%1 — не файл.</translation>
    </message>
    <message>
        <source>%1 – tapedecoder workbench</source>
        <translation>%1 – верстак tapedecoder</translation>
    </message>
    <message>
        <source>Reading %1…</source>
        <translation>Читается %1…</translation>
    </message>
    <message>
        <source>take %1</source>
        <translation>запись %1</translation>
    </message>
    <message>
        <source>%1: %2 blocks (%3 good, %4 bad)</source>
        <translation>%1: блоков %2 (хороших %3, плохих %4)</translation>
    </message>
    <message>
        <source>, cancelled part way</source>
        <translation>, прервано на середине</translation>
    </message>
    <message>
        <source>, reading stopped by an error</source>
        <translation>, чтение остановлено ошибкой</translation>
    </message>
    <message>
        <source>ok</source>
        <translation>ок</translation>
    </message>
    <message>
        <source>BAD</source>
        <translation>ПЛОХО</translation>
    </message>
    <message numerus="yes">
        <source>%n weak bit(s)</source>
        <translation>
            <numerusform>%n слабый бит</numerusform>
            <numerusform>%n слабых бита</numerusform>
            <numerusform>%n слабых битов</numerusform>
        </translation>
    </message>
    <message>
        <source>dropout of %1 ms</source>
        <translation>провал на %1 мс</translation>
    </message>
    <message numerus="yes">
        <source>ends %n byte(s) short</source>
        <translation>
            <numerusform>кончается, не хватает %n байта</numerusform>
            <numerusform>кончается, не хватает %n байтов</numerusform>
            <numerusform>кончается, не хватает %n байтов</numerusform>
        </translation>
    </message>
    <message>
        <source>%1  block %2: %3</source>
        <translation>%1  блок %2: %3</translation>
    </message>
    <message>
        <source>Merging %1 takes…</source>
        <translation>Сводятся записи (%1)…</translation>
    </message>
    <message>
        <source>Merged tape: %1 blocks (%2 good, %3 voted) from %4 takes</source>
        <translation>Сведённая лента: блоков %1 (хороших %2, собранных голосованием %3) из записей: %4</translation>
    </message>
    <message>
        <source>There is no decoded tape to save yet.</source>
        <translation>Расшифрованной ленты для сохранения пока нет.</translation>
    </message>
    <message>
        <source>Not enough memory to write the tape.</source>
        <translation>Недостаточно памяти, чтобы записать ленту.</translation>
    </message>
    <message>
        <source>Saved %1</source>
        <translation>Сохранено: %1</translation>
    </message>
    <message>
        <source>Open a recording</source>
        <translation>Открыть запись</translation>
    </message>
    <message>
        <source>Recordings and pulse files (%1);;All files (*)</source>
        <translation>Записи и файлы импульсов (%1);;Все файлы (*)</translation>
    </message>
    <message>
        <source>Add takes of the same tape</source>
        <translation>Добавить записи той же кассеты</translation>
    </message>
    <message>
        <source>Listing only (*.txt)</source>
        <translation>Только листинг (*.txt)</translation>
    </message>
    <message>
        <source>Save the tape</source>
        <translation>Сохранить ленту</translation>
    </message>
    <message>
        <source>Cannot read %1 with the classic method: it reads uncompressed 8-bit 44100 Hz WAV files only. Choose the robust method.</source>
        <translation>Классический метод не читает %1: он читает только несжатые 8-битные WAV-файлы 44100 Гц. Выберите надёжный метод.</translation>
    </message>
    <message>
        <source>%1 s</source>
        <translation>%1 с</translation>
    </message>
    <message>
        <source>TAP image</source>
        <translation>Образ TAP</translation>
    </message>
    <message>
        <source>TZX image</source>
        <translation>Образ TZX</translation>
    </message>
    <message>
        <source>PZX image</source>
        <translation>Образ PZX</translation>
    </message>
    <message>
        <source>CSW pulse file</source>
        <translation>Импульсный файл CSW</translation>
    </message>
    <message>
        <source>%1 file</source>
        <translation>Файл %1</translation>
    </message>
    <message>
        <source>Save the &amp;report (.json) with the tape</source>
        <translation>Сохранять &amp;отчёт (.json) вместе с лентой</translation>
    </message>
    <message>
        <source>Saved %1 without the report: it describes the robust method&apos;s decodes only.</source>
        <translation>Сохранено без отчёта: %1 (отчёт описывает только расшифровку надёжным методом).</translation>
    </message>
    <message>
        <source>%1 and listing (%2)</source>
        <translation>%1 и листинг (%2)</translation>
    </message>
    <message>
        <source>%1, TAP image and listing (%2)</source>
        <translation>%1, образ TAP и листинг (%2)</translation>
    </message>
    <message>
        <source>unsure</source>
        <translation>не точно</translation>
    </message>
    <message>
        <source>made to hold by a guess</source>
        <translation>сходится подбором</translation>
    </message>
    <message>
        <source>slips undone the likeliest of the ways the checksum allows</source>
        <translation>сдвиги бит исправлены наиболее вероятным из допустимых по контрольной сумме способов</translation>
    </message>
    <message>
        <source>dropouts filled with the likeliest of the fills the checksum allows</source>
        <translation>пропадания заполнены наиболее вероятным из допустимых по контрольной сумме вариантов</translation>
    </message>
    <message>
        <source>dropout mended from the checksum</source>
        <translation>пропадание восстановлено по контрольной сумме</translation>
    </message>
    <message>
        <source>dropout mended from the block's copy</source>
        <translation>пропадание восстановлено по копии блока</translation>
    </message>
    <message>
        <source>slipped reading mended from the block's copy</source>
        <translation>сбой чтения исправлен по копии блока</translation>
    </message>
</context>
<context>
    <name>main</name>
    <message>
        <source>Shows a recording of a tape with the blocks read from it, and saves the tape.</source>
        <translation>Показывает запись кассеты с прочитанными из неё блоками и сохраняет ленту.</translation>
    </message>
    <message>
        <source>The recording to open; further ones are added as takes.</source>
        <translation>Запись, которую открыть; следующие добавляются как другие записи той же кассеты.</translation>
    </message>
</context>
</TS>
