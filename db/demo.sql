-- Sample data for the terminal demo: load after schema.sql.
--
-- Racks are 6 cells wide and 6 rows high.
--
-- Keypad codes (personnel numbers) and what the terminal answers:
--   1001  Петров Пётр Петрович        rack 1 cell 8: shown, with photo
--   1002  Сидорова Анна Сергеевна     rack 1 cell 3: shown (cell status NULL), with photo
--   1003  Кузнецов Илья Олегович      blocked: "Пропуск изъят"
--   1004  Смирнов Олег Иванович       dose 20.500 over 20.000
--   1005  Орлов Денис Андреевич       no cell assigned
--   1006  Волков Игорь Павлович       set 2 blocked
--   1007  Зайцев Максим Юрьевич       rack 3 blocked
--   1008  Лебедев Антон Викторович    cell blocked (status 0)
--   1009  Морозов Кирилл Ильич        rack 1 cell 12: shown, no photo (default picture)
--   any other code                    "Не найден пользователь "
-- Codes as the reader programs write them (each byte read, end byte included,
-- as two upper-case hex digits):
--   card 04A1B2C3D4 (CARD_READER.ini) logs in 1001;
--   the scan "4607001234567" with its carriage return (barcode.ini
--   343630373030313233343536370D) logs in 1002.

INSERT INTO set (set_id, set_name, set_block) VALUES
    (1, 'Комплект 1', NULL),
    (2, 'Комплект 2', 'Плановая проверка');

INSERT INTO kas (kas_id, set_id, kas_name, kas_block, kas_height, kas_width) VALUES
    (1, 1, 'Кассетница 1', '', 6, 6),
    (3, 1, 'Кассетница 3', 'Неисправен замок', 6, 6),
    (4, 2, 'Кассетница 4', NULL, 6, 6);

INSERT INTO users (user_id, name_0, name_1, name_2, dose_year, dose_year_now_ppd, block,
                   set_ID, kas_ID, mesh_ID, tab_num, card_id, code) VALUES
    (11, 'Петров', 'Пётр', 'Петрович', 20, 3.25, NULL, 1, 1, 8, 1001, '04A1B2C3D4', NULL),
    (12, 'Сидорова', 'Анна', 'Сергеевна', 20, 20, '', 1, 1, 3, 1002, NULL, '343630373030313233343536370D'),
    (13, 'Кузнецов', 'Илья', 'Олегович', 20, 1, 'Пропуск изъят', 1, 1, 9, 1003, NULL, NULL),
    (14, 'Смирнов', 'Олег', 'Иванович', 20, 20.5, NULL, 1, 1, 10, 1004, NULL, NULL),
    (15, 'Орлов', 'Денис', 'Андреевич', 20, 0, NULL, NULL, NULL, NULL, 1005, NULL, NULL),
    (16, 'Волков', 'Игорь', 'Павлович', 20, 0, NULL, 2, 4, 1, 1006, NULL, NULL),
    (17, 'Зайцев', 'Максим', 'Юрьевич', 20, 0, NULL, 1, 3, 2, 1007, NULL, NULL),
    (18, 'Лебедев', 'Антон', 'Викторович', 20, 0, NULL, 1, 1, 11, 1008, NULL, NULL),
    (19, 'Морозов', 'Кирилл', 'Ильич', 20, 0, NULL, 1, 1, 12, 1009, NULL, NULL);

INSERT INTO mesh (mesh_id, kas_id, set_id, user_id, mesh_status, mesh_note) VALUES
    (8, 1, 1, 11, 1, ''),
    (3, 1, 1, 12, NULL, ''),
    (9, 1, 1, 13, 1, ''),
    (10, 1, 1, 14, 1, ''),
    (1, 4, 2, 16, 1, ''),
    (2, 3, 1, 17, 1, ''),
    (11, 1, 1, 18, 0, 'Сломана дверца'),
    (12, 1, 1, 19, 1, '');

INSERT INTO user_photo (user_id, user_photo) VALUES
    (11, '\x89504e470d0a1a0a0000000d4948445200000040000000401002000000759b3aca0000039a4944415478daed9b5d48935118c75b481041167dac25e5603525af16518458c3a48b5c172625117d626218993265465d153a4cb4a251887d1361dfd4142a8bf5b18b22dc95a6abc12cccec8352882082ba78ba383866ef3a1fcf997b7e5787e3bb67e7fdffdfe79ce79cd7994683afbc9dc593082426630f20d521039021039021039021039049c31ec0780c9546f68743d07e13edaf0bfb2227fbbf86bb42a64fc5bf0e59067e9efde8fc7b65e6945d73038edf736ea41d861edbdeac99f602682f1b58bed13134f5f5ec27191dd8f73416136e19fa63f1e7558385df568f2cfd7e04240ed63e8a06ea647f6f6e63bed5d9b0c89ad560afb0b4d98ed91d580a201800cfb54ab98d0096a8cf15a5063c2de81cf697ea237a3c549a21dd8064113d1e60465ed73ab3ab4d467c895550b24b0f5cf73dcbef5d79beafa5afd92a23bee00c8045f5b8cf7bb4e584328d14e359dbb4a2c9262a9ab00c4805e901ef7df7737744543461fb80f6bb975adb7be4ddf6bc8519e9f3d740750fe523f4cf789cde3ded20b4d97216760c1fde0e8ebc7f28633c3029edc8aecaae8ef2c411300541597961d3a9cdadd345dd1e2b3754233cd15e66beb816b288b504b67e5e57f5ac2d37792a250106884dc9ed57f75c291b659f6bb14096dc73df29f7178932836755e05a03d8a3021ee079afacf0d454ed93273d4bc9faad652539f0bdfcd17874e03200665b9e085065f3cfa4c6610d061b600c583a701900b3eaff7d96dd6d4205c533121e6049e7b18167afc365003b87423ac3d2c4b6633f057fe55f5a45013901e3e1cf864441388cc37dde8da0f2304ee90b19fda5573f4e7a23860c1910173579a0c88064997cd4a3690678fccd5f2e6f302fc92bdc5d096dd8c1f2c7c1beb3b1483720d1671f643a577b6b5b6001f440db5b73e6c1ed6ee371e05c36368e6e36689701ac6446fae351efeb08f446f8e3c8463b037636165d74be33de2f3b8e6cb433000e785999a00dfdeae3c82e1fa4ef842746fd236f6fac5d06a41a64c03f907d2e24dd003dff23531f280390210390516440324e446ac64c19808c520392250f26ec1b31f5b7a7ffd8d0a620dd6cc01a0fad01c820ff488f7deed49f1ae990851a65807139e04a1ef974901ed0ee67aab1d2c46606f4242aa23ea2b36867402cb1d3d4f852ea29743c907f274c68b406a42664003209af01b9e5f53dc32eec61eb4ef0f4811cb3dfc8959401c89001c89001c89001c89001c89001c89001c89001c89001c89001c89001c89001c89001c8fc010bcb27b3e61392aa0000000049454e44ae426082'),
    (12, '\x89504e470d0a1a0a0000000d4948445200000040000000401002000000759b3aca000004724944415478daed9b7948544118c0b3a2288f5231cb42694de93031a2540c65b10b93322bf3a2cb8cc8ee088d54ecceee9ba8a48324bb554ca430538ad4a84c2d6a4bab2532abb5cc2d910efbe3fba3a5c56576e7cd7cb33abfbf96e7dbefcd7cbf37dfcc3cdfda3c7bf3f9797551370912ddb11bd0d5910290910290910290b102017a4d4b9a3e14bb15ace889dd0053bc3d5cf752bbec4370dde6d753cbd2f346dc0881e30d0e8dbf9adf69a2b5e58deec6df0a39316e82f71f97d8910e3ebe23dabcca3d0e0f2cf37c35b4c879ca80734e2fecbcedb7d81563f7ec1f36222c4321d1973eed9b7e6447e992077735ccc725488a72599bbf7c83c70a4f2ff763587d47100025e569ebfdcd0f576d714e6ddaafc6eabc2169baad4e6b4a46f5094c1f7b90e728e12aa0e2c9cdf6d27c7192de113c65301760eba8a9a9f252d7c4bb653c62771576e4fc283e703e829d0686d5162abbf5a61e88ee1bba3a3e17fac2223e1301d0dca499314e2b33d9a68717d01728a1ca46565840e74bbd21307b29bb2f5158c0c1b6e4b06d49bc1343477d447d787d02f9f9e9f90b73d61d52eaea8a6dc4e0ded7446b758d1ddefbd05555aeaa4095656e7cef1cf70057edec9a897bc64e86235306054ef3496d58a4dae47bc5d5bf21ea95f6f69d373ecd7b9b52aa7755f9de0a2d3ff5ec7b479b3543cc6d0fc4d46b5a0ee843e92767c55641679e1ff53fe771c5ee6ce1b55afa6890ee49c5018b47da2624cefc127c8f265ad6c9eb8e6541e44a4898ad9f1f16e9b3607852c5bcb73471142b41d505254df70ae9e32425469d52eb725499b39656994e7d4ba57e6beb379298100762427c71faabd808087f375e17d162d977e17e5fd53bb370e3d1c0c1ddb27441f4ed2121ba3ef9ea713f9a315130a4d239d79ea60d423c0b72bb5697f2381bebeaef233d778e89c3ba3af2e36892d49b2e35e48588a60dec401340de6dfbf176a97d1cccfdabb962b034200820ef2a79128dcf34ad8dbe6d4ac15580b97b48f2245a966e11e02ac0bbf6e3cf978bd8c5a79f0f007882cb272756f03f6172941a07fdb27a64b767f069b3a002d654edcbbb10de7fbb7fe9fc3cf86cd9dd6d1c07bb67ff239c0048d3e9c28bfd8b12e1087c4eef7562746e2c7d1c720d7c26644e02c83b63983292e3ece23427fc8eb3c9609d19e146c0c2b0b95fa79e243fce2e0e9f99403801fbfdd6ce8829304c137c86e37ce2c0bdcf6704707a1684bbdd3717487d63c5a04bc3dc59bf1521dc0800e857f43411a0f8b0deb500820aa05fd15bcbde989300dc47be22b799eb0850ea51416782ab00e3b240a2a4736be32ac0785093546a9a6a6e993c9e0553d049981e48bdf8533182003ef79765a9e7bf58401b01ca76957e9ec05aa7219720a5ba4d536abaf45b11b82910617722c47b41c6b07e762442ea01410500ca6a1027e986082dc01090619844d37ac44cb7315623a023e05517d17efd4b8ed50bb0768458057565a40064ccfe895245897a4edc7aec668b8ebfbae472f66e9233e50840460a40460a40460a40460a40460a40460a40460a40460a40460a40460a40460a40460a40e62fb767a865c96860120000000049454e44ae426082');
