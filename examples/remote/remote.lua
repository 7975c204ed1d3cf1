-- Remote example: a function an OSC client can call with "/call" (or "/exec").
--   oscsend 127.0.0.1 47105 /call sssii sum 127.0.0.1:47200 /sum 2 3
-- answers "/sum" with 5 and the label "sum".
function sum(a, b)
    return a + b, "sum"
end
