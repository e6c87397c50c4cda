% The help of each plug-in as a user meets it, wherever the help files sit (a
% checkout's build, the installed package): its example runs as printed from
% the current folder and, with the nearest-box pass, scores on iris what the
% command line's demo does; its test blocks pass, its demo runs; everything
% its "See also" names is there. Run with the plug-ins and help files on the
% path, from a folder without data: help_examples_test()
function help_examples_test()
  names = {'quorv_train', 'quorv_perf'};
  for k = 1:numel(names)
    name = names{k};
    text = help(name);
    example = regexp(text, 'Example.*?\n((?: {5}[^\n]*\n)+)', 'tokens', 'once');
    expect(~isempty(example), [name ': no example in the help']);
    accuracy = run_example(example{1});
    expect(abs(accuracy - 0.92) < 1e-9, sprintf('%s: the example scores %g, not 0.92', name, accuracy));

    [passed, total] = test(name, 'quiet');
    expect(total >= 2 && passed == total, sprintf('%s: %d of %d test blocks pass', name, passed, total));
    shown = evalc(sprintf('demo %s', name));
    expect(isempty(strfind(shown, 'failed')), [name ': its demo failed: ' shown]);

    seen = regexp(text, 'See also ([^\n]*)\.', 'tokens', 'once');
    expect(~isempty(seen), [name ': no See also line']);
    for other = strtrim(strsplit(lower(seen{1}), ','))
      expect(exist(other{1}) ~= 0, sprintf('%s names %s, which is not here', name, other{1}));
    end
    expect(isempty(regexp(text, '\<MAKE\>', 'once')), [name ': the help names MAKE']);
  end
  printf('help examples, test blocks and demos ran in %s\n', pwd);
end

% In a workspace of its own, as typed at the prompt.
function accuracy = run_example(code)
  evalc(code);
end

function expect(ok, message)
  if ~ok
    error('help_examples_test: %s', message);
  end
end
