% Installs the Octave package into a scratch prefix, as a user would, and uses
% it: the demo, one training and classification call, an error, the help text,
% its examples, test blocks and demos, and the model functions.
% Run by ctest as: octave-cli --eval "pkg_install_test('PACKAGE.tar.gz', 'SCRATCH')"
function pkg_install_test(tarball, scratch)
  if exist(scratch, 'dir')
    confirm_recursive_rmdir(false, 'local');
    rmdir(scratch, 's');
  end
  mkdir(scratch);
  % Nothing outside the scratch folder: its own package list and prefix.
  pkg('local_list', fullfile(scratch, 'octave_packages'));
  pkg('prefix', fullfile(scratch, 'share'), fullfile(scratch, 'lib'));
  pkg('install', '-local', tarball);
  pkg('load', 'quorv');

  demo = evalc('quorv_demo');
  printf('%s', demo);
  expect(~isempty(strfind(demo, 'accuracy: ')), 'quorv_demo printed no accuracy');

  data = dlmread(fullfile(fileparts(which('quorv_demo')), 'data', 'iris.csv'), ',', 1, 0);
  x = data(:, 1:4);
  x = (x - min(x)) ./ (max(x) - min(x));
  [templates, labels, presentations] = quorv_train(x, data(:, 5), 0.7, 0, 1, 0.001, 50, 0, 0);
  expect(size(templates, 2) == 8 && size(labels, 1) == size(templates, 1) && presentations >= 1, ...
         'quorv_train gave outputs of the wrong shape');
  guess = quorv_perf(templates, labels, 0.7, x, -1, 0);
  expect(isequal(size(guess), [150 1]), 'quorv_perf gave no 150-by-1 column');
  expect(mean(guess == data(:, 5)) > 0.9, 'quorv_perf got its own training set wrong');

  try
    quorv_train(x, data(:, 5), 2, 0, 1, 0.001, 50, 0, 0);
    error('quorv_train accepted vigilance 2');
  catch err
    expect(~isempty(strfind(err.message, 'QUORV_TRAIN: 3rd input argument (vigilance) must be in [0,1].')), ...
           ['wrong message: ' err.message]);
  end

  % The help as an installed user meets it, run from a folder without data.
  addpath(fileparts(mfilename('fullpath')));
  here = pwd;
  back = onCleanup(@() cd(here));
  cd(scratch);
  help_examples_test();

  % The model functions, from the scratch folder (no data, no plug-ins beside).
  for name = {'quorv_fit', 'quorv_predict', 'quorv_read_model', 'quorv_write_model'}
    [passed, total] = test(name{1}, 'quiet');
    expect(total >= 3 && passed == total, sprintf('%s: %d of %d test blocks pass', name{1}, passed, total));
  end
  model = quorv_fit(data(:, 1:4), data(:, 5), 'Votes', 3, 'MaxFeatures', 'sqrt');
  quorv_write_model(model, 'iris.model');
  again = quorv_read_model('iris.model');
  expect(isequal(quorv_predict(again, data(:, 1:4)), quorv_predict(model, data(:, 1:4))), ...
         'a forest read back classifies otherwise');
  expect(~isempty(strfind(evalc('help quorv'), 'quorv_predict')), 'help quorv lists no quorv_predict');

  text = evalc('help quorv_train');
  expect(~isempty(strfind(text, 'max_list_presentations')), 'help quorv_train has no argument list');
  expect(strncmp(which('quorv_train'), scratch, numel(scratch)), ...
         ['quorv_train comes from outside the package: ' which('quorv_train')]);
  printf('package installed, loaded and used\n');
end

function expect(ok, message)
  if ~ok
    error('pkg_install_test: %s', message);
  end
end
