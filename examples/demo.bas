10 REM tapedecoder sample
20 FOR i=1 TO 5
30 PRINT i;" squared is ";i*i
40 NEXT i
