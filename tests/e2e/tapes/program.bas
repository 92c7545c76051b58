10 REM Squares, cubes and a few strings
20 BORDER 1: PAPER 7: INK 0: CLS
30 PRINT AT 0,4;"n";TAB 10;"n*n";TAB 18;"n*n*n"
40 FOR n=1 TO 12
50 PRINT TAB 4;n;TAB 10;n*n;TAB 18;n*n*n
60 NEXT n
70 RESTORE 200
80 FOR k=1 TO 4: READ a$,v: PRINT a$;" = ";v: NEXT k
90 GO SUB 300
100 STOP
200 DATA "pi",3.14159,"e",2.71828,"root two",1.41421,"half",0.5
300 LET t=0: FOR i=0 TO 255 STEP 17: LET t=t+i: NEXT i
310 PRINT "total ";t
320 RETURN
